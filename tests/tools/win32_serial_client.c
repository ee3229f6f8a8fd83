/* A Windows camera tool in miniature, for running under Wine: opens a COM
 * port the way such tools do, sends one command (a CR is added) and prints
 * the reply line.
 *
 *   win32_serial_client.exe COMn COMMAND
 *
 * Exit codes: 0 a reply came, 1 a Win32 call failed or no reply came in
 * time (the failing call and its error number on stderr), 2 usage. */
#include <stdio.h>
#include <windows.h>

static int Fail(const char* what) {
    fprintf(stderr, "%s failed: error %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

int main(int argc, char** argv) {
    char path[64], command[256], reply[512];
    if (argc != 3)
        return 2;
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE)
        return Fail("CreateFileA");

    /* What the tools change of the port's current settings. */
    DCB dcb = {.DCBlength = sizeof dcb};
    if (!GetCommState(port, &dcb))
        return Fail("GetCommState");
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    if (!SetCommState(port, &dcb))
        return Fail("SetCommState");
    /* A reply is read until its line end or two seconds of quiet. */
    COMMTIMEOUTS timeouts = {.ReadIntervalTimeout = 500, .ReadTotalTimeoutConstant = 2000};
    if (!SetCommTimeouts(port, &timeouts))
        return Fail("SetCommTimeouts");

    const int length = snprintf(command, sizeof command, "%s\r", argv[2]);
    DWORD written = 0, got = 0, n = 1;
    if (!WriteFile(port, command, (DWORD)length, &written, NULL) || written != (DWORD)length)
        return Fail("WriteFile");
    while (n > 0 && got < sizeof reply - 1 && (got == 0 || reply[got - 1] != '\n')) {
        if (!ReadFile(port, reply + got, sizeof reply - 1 - got, &n, NULL))
            return Fail("ReadFile");
        got += n;
    }
    reply[got] = '\0';
    CloseHandle(port);
    fputs(reply, stdout);
    return got == 0;
}
