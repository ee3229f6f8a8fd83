// The Camera Link standard's serial API as this project's emulated library
// exports it (plain C functions on Linux), with the standard's status and
// baud-rate codes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t INT32;
typedef uint32_t UINT32;
typedef char INT8;
typedef void* hSerRef;

enum {
    CL_ERR_NO_ERR = 0,
    CL_ERR_BUFFER_TOO_SMALL = -10001,
    CL_ERR_MANU_DOES_NOT_EXIST = -10002,
    CL_ERR_PORT_IN_USE = -10003,
    CL_ERR_TIMEOUT = -10004,
    CL_ERR_INVALID_INDEX = -10005,
    CL_ERR_INVALID_REFERENCE = -10006,
    CL_ERR_ERROR_NOT_FOUND = -10007,
    CL_ERR_BAUD_RATE_NOT_SUPPORTED = -10008,
    CL_ERR_OUT_OF_MEMORY = -10009,
    CL_ERR_REGISTRY_KEY_NOT_FOUND = -10010,
    CL_ERR_INVALID_PTR = -10011,
    CL_ERR_IN_USE = -10012,
    CL_ERR_UNABLE_TO_LOAD_DLL = -10098,
    CL_ERR_FUNCTION_NOT_FOUND = -10099,
};

enum {
    CL_BAUDRATE_9600 = 1,
    CL_BAUDRATE_19200 = 2,
    CL_BAUDRATE_38400 = 4,
    CL_BAUDRATE_57600 = 8,
    CL_BAUDRATE_115200 = 16,
    CL_BAUDRATE_230400 = 32,
    CL_BAUDRATE_460800 = 64,
    CL_BAUDRATE_921600 = 128,
};

#define CL_DLL_VERSION_1_1 3

#define CLSER_API __attribute__((visibility("default")))

CLSER_API INT32 clSerialInit(UINT32 serialIndex, hSerRef* serialRefPtr);
CLSER_API void clSerialClose(hSerRef serialRef);
CLSER_API INT32 clSerialRead(hSerRef serialRef, INT8* buffer, UINT32* numBytes,
                             UINT32 serialTimeout);
CLSER_API INT32 clSerialWrite(hSerRef serialRef, INT8* buffer, UINT32* bufferSize,
                              UINT32 serialTimeout);
CLSER_API INT32 clSetBaudRate(hSerRef serialRef, UINT32 baudRate);
CLSER_API INT32 clGetSupportedBaudRates(hSerRef serialRef, UINT32* baudRates);
CLSER_API INT32 clGetNumSerialPorts(UINT32* numSerialPorts);
CLSER_API INT32 clGetSerialPortIdentifier(UINT32 serialIndex, INT8* portId, UINT32* bufferSize);
CLSER_API INT32 clGetNumBytesAvail(hSerRef serialRef, UINT32* numBytes);
CLSER_API INT32 clFlushPort(hSerRef serialRef);
CLSER_API INT32 clGetManufacturerInfo(INT8* manufacturerName, UINT32* bufferSize, UINT32* version);
CLSER_API INT32 clGetErrorText(INT32 errorCode, INT8* errorText, UINT32* errorTextSize);

// Emulation only: bytes the camera sent that were lost because the receive
// buffer was full, since the port was opened.
CLSER_API INT32 clEmuGetOverflowCount(hSerRef serialRef, UINT32* lostBytes);

#ifdef __cplusplus
}
#endif
