/* A Windows camera tool in miniature, for running under Wine: opens a COM
 * port the way such tools do, sends one command (a CR is added) and prints
 * the reply line.
 *
 *   win32_serial_client.exe COMn COMMAND
 *
 * Exit codes: 0 a reply came, 1 a Win32 call failed or no reply came in
 * time (the failing call and its error number on stderr), 2 usage. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int Fail(const char* what) {
    fprintf(stderr, "%s failed: error %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 3 || strlen(argv[1]) > 16 || strlen(argv[2]) > 200) {
        fprintf(stderr, "usage: win32_serial_client COMn COMMAND\n");
        return 2;
    }
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return Fail("CreateFileA");

    /* What the tools change of the port's current settings. */
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return Fail("GetCommState");
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(port, &dcb))
        return Fail("SetCommState");

    /* A reply is read until its line end or two seconds of quiet. */
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = 500;
    timeouts.ReadTotalTimeoutConstant = 2000;
    timeouts.WriteTotalTimeoutConstant = 2000;
    if (!SetCommTimeouts(port, &timeouts))
        return Fail("SetCommTimeouts");

    char command[256];
    const int length = snprintf(command, sizeof command, "%s\r", argv[2]);
    DWORD written = 0;
    if (!WriteFile(port, command, (DWORD)length, &written, NULL))
        return Fail("WriteFile");
    if (written != (DWORD)length) {
        fprintf(stderr, "WriteFile wrote %lu of %d bytes\n", (unsigned long)written, length);
        return 1;
    }

    char reply[512];
    DWORD got = 0;
    while (got < sizeof reply - 1 && (got == 0 || reply[got - 1] != '\n')) {
        DWORD n = 0;
        if (!ReadFile(port, reply + got, sizeof reply - 1 - got, &n, NULL))
            return Fail("ReadFile");
        if (n == 0)
            break;
        got += n;
    }
    reply[got] = '\0';
    CloseHandle(port);
    if (got == 0) {
        fprintf(stderr, "no reply within the time-outs\n");
        return 1;
    }
    fputs(reply, stdout);
    return 0;
}
