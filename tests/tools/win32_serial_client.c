/* A Windows camera tool in miniature, for running under Wine: opens a COM
 * port the way such tools do, shows and sets the modem lines, sends one
 * command (a CR is added) and reads the reply line the event-driven way of
 * many tools and of .NET's SerialPort.DataReceived: SetCommMask(EV_RXCHAR),
 * WaitCommEvent, ClearCommError, ReadFile. One line per step on stdout.
 *
 *   win32_serial_client.exe COMn status
 *   win32_serial_client.exe COMn overlapped|blocking COMMAND
 *
 * Exit codes: 0 done, 1 a Win32 call failed or no reply came in time (the
 * failing call and its error number on stdout), 2 usage. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HANDLE port;
static BOOL overlapped;

static int Fail(const char* what) {
    printf("%s failed: error %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

/* Waits for an overlapped call that went pending; FALSE after 5 s. */
static BOOL Finish(BOOL done, OVERLAPPED* ov, DWORD* count) {
    if (done || GetLastError() != ERROR_IO_PENDING)
        return done;
    if (WaitForSingleObject(ov->hEvent, 5000) != WAIT_OBJECT_0) {
        CancelIo(port);
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    return GetOverlappedResult(port, ov, count, FALSE);
}

static BOOL Transfer(BOOL write, void* data, DWORD size, DWORD* count) {
    OVERLAPPED ov = {.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL)};
    OVERLAPPED* use = overlapped ? &ov : NULL;
    BOOL ok =
        write ? WriteFile(port, data, size, count, use) : ReadFile(port, data, size, count, use);
    ok = overlapped ? Finish(ok, &ov, count) : ok;
    CloseHandle(ov.hEvent);
    return ok;
}

static BOOL WaitEvent(DWORD* events) {
    OVERLAPPED ov = {.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL)};
    DWORD ignored = 0;
    BOOL ok = WaitCommEvent(port, events, overlapped ? &ov : NULL);
    ok = overlapped ? Finish(ok, &ov, &ignored) : ok;
    CloseHandle(ov.hEvent);
    return ok;
}

static const char* OnOff(DWORD status, DWORD bit) {
    return (status & bit) ? "on" : "off";
}

int main(int argc, char** argv) {
    char path[64], command[256], reply[512];
    const BOOL status_only = argc == 3 && strcmp(argv[2], "status") == 0;
    overlapped = argc == 4 && strcmp(argv[2], "overlapped") == 0;
    if (!status_only && !(argc == 4 && (overlapped || strcmp(argv[2], "blocking") == 0)))
        return 2;
    snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
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
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb))
        return Fail("SetCommState");
    printf("SetCommState 115200 8N1, DTR and RTS enabled: ok\n");
    DWORD lines = 0;
    if (!GetCommModemStatus(port, &lines))
        return Fail("GetCommModemStatus");
    printf("GetCommModemStatus: CTS %s, DSR %s, RING %s, RLSD %s\n", OnOff(lines, MS_CTS_ON),
           OnOff(lines, MS_DSR_ON), OnOff(lines, MS_RING_ON), OnOff(lines, MS_RLSD_ON));
    if (!EscapeCommFunction(port, CLRDTR))
        return Fail("EscapeCommFunction(CLRDTR)");
    if (!EscapeCommFunction(port, SETDTR))
        return Fail("EscapeCommFunction(SETDTR)");
    printf("EscapeCommFunction CLRDTR, SETDTR: ok\n");
    if (status_only)
        return 0;

    /* ReadFile returns what has arrived at once: the events tell when. */
    COMMTIMEOUTS timeouts = {.ReadIntervalTimeout = MAXDWORD, .WriteTotalTimeoutConstant = 2000};
    if (!SetCommTimeouts(port, &timeouts) || !SetCommMask(port, EV_RXCHAR))
        return Fail("SetCommTimeouts, SetCommMask");
    const int length = snprintf(command, sizeof command, "%s\r", argv[3]);
    DWORD count = 0, got = 0;
    if (!Transfer(TRUE, command, (DWORD)length, &count) || count != (DWORD)length)
        return Fail("WriteFile");
    while (got == 0 || reply[got - 1] != '\n') {
        DWORD events = 0, errors = 0;
        COMSTAT stat;
        if (!WaitEvent(&events))
            return Fail(overlapped ? "WaitCommEvent (overlapped)" : "WaitCommEvent (blocking)");
        printf("WaitCommEvent (%s): %s\n", overlapped ? "overlapped" : "blocking",
               events == EV_RXCHAR ? "EV_RXCHAR" : "no event");
        if (events != EV_RXCHAR)
            return 1;
        if (!ClearCommError(port, &errors, &stat))
            return Fail("ClearCommError");
        printf("ClearCommError: %lu bytes waiting\n", (unsigned long)stat.cbInQue);
        const DWORD room = sizeof reply - 1 - got;
        if (room == 0)
            break;
        if (!Transfer(FALSE, reply + got, stat.cbInQue < room ? stat.cbInQue : room, &count))
            return Fail("ReadFile");
        got += count;
    }
    reply[got] = '\0';
    CloseHandle(port);
    printf("Reply: %s", reply);
    return 0;
}
