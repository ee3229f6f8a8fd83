/* The serial behaviour that a pair's COM end lacks as a pty, completed for
 * the programs that clsertolvane-run starts (LD_PRELOAD).
 *
 * A pty has no modem lines: TIOCMGET and its kin fail with ENOTTY. Windows
 * programs under Wine meet that at once: Wine's WaitCommEvent thread gives up
 * when TIOCMGET fails (overlapped waits end with ERROR_OPERATION_ABORTED,
 * blocking ones with no event), and GetCommModemStatus and
 * EscapeCommFunction(SETDTR) fail. Native programs show the line "Offline"
 * (minicom) or wait for a DTR confirmation that never comes (ser2net's
 * RFC 2217). So, for descriptors that are this user's pair COM ends and only
 * when the real ioctl has refused, this library answers as a null-modem
 * cable would whose far end is the relay:
 *
 *   DTR, RTS   as the program last set them (on at first, as Linux raises
 *              them when a serial port is opened);
 *   CTS, DSR,  on while a program holds the pair's device end, which the
 *   CD         pair host publishes in <port dir>/CNC<n>.lines;
 *   RI         off.
 *
 * TIOCMIWAIT waits for the host to publish a change, TIOCGICOUNT counts the
 * changes, TIOCSERGETLSR says whether the output queue is empty. Opens of a
 * pair COM end that fail with EBUSY are tried again for up to 50 ms: the host
 * frees an end a moment after its holder closed it, and tools that close and
 * reopen at once must not see that moment.
 *
 * 32-bit programs built with 64-bit time (32-bit Wine's ntdll.so) call
 * __ioctl_time64 instead of ioctl, so the i386 build answers that too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "platform/serial_lines/pair_end_lines.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*OpenFunction)(const char*, int, ...);
typedef int (*OpenAtFunction)(int, const char*, int, ...);
typedef int (*CheckedOpenFunction)(const char*, int);
typedef int (*CheckedOpenAtFunction)(int, const char*, int);

enum { kBusyRetryMs = 50, kBusyPauseUs = 1000, kWaitRecheckMs = 1000 };
static const int kFarEndLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
static const int kOwnLines = TIOCM_DTR | TIOCM_RTS;

/* Taken when the library is loaded, before the program can change its
 * environment from several threads. */
static char g_port_dir[4096];
static bool g_have_port_dir;

__attribute__((constructor)) static void TakePortDirectory(void) {
    g_have_port_dir = clst_port_directory_path(g_port_dir, sizeof g_port_dir);
}

/* libc's own function behind `name`, looked up once into `slot`. Several
 * threads may look it up at once; they find the same address. */
static void* Real(void** slot, const char* name) {
    void* found = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, found, __ATOMIC_RELEASE);
    }
    return found;
}

/* ---- Which descriptor is a pair COM end ---- */

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
/* The last device found to be a COM end: Wine asks about the same one
 * every millisecond while it waits for an event. */
static dev_t g_last_rdev;
static int g_last_number = -1;

/* The pair number when `rdev` is behind one of this user's COM<n> links in
 * a trusted port directory; -1 otherwise. */
static int ComEndOfDevice(dev_t rdev) {
    if (!g_have_port_dir || !clst_port_directory_trusted(g_port_dir)) {
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    const int cached = g_last_rdev == rdev ? g_last_number : -1;
    pthread_mutex_unlock(&g_lock);
    if (cached > 0 && clst_is_com_end(g_port_dir, cached, rdev)) {
        return cached;
    }
    const int number = clst_find_com_end(g_port_dir, rdev);
    if (number > 0) {
        pthread_mutex_lock(&g_lock);
        g_last_rdev = rdev;
        g_last_number = number;
        pthread_mutex_unlock(&g_lock);
    }
    return number;
}

/* ---- DTR and RTS, as this program set them, per pair ---- */

enum { kOwnSlots = 16 };
static struct {
    int number; /* 0: free */
    int lines;
} g_own[kOwnSlots];
static unsigned g_next_slot;

/* Call with g_lock held. */
static int* OwnLinesOf(int number) {
    for (int i = 0; i < kOwnSlots; ++i) {
        if (g_own[i].number == number) {
            return &g_own[i].lines;
        }
    }
    const unsigned slot = g_next_slot++ % kOwnSlots;
    g_own[slot].number = number;
    g_own[slot].lines = kOwnLines;
    return &g_own[slot].lines;
}

static int ModemLines(int number) {
    struct clst_pair_lines far;
    clst_read_pair_lines(g_port_dir, number, &far);
    pthread_mutex_lock(&g_lock);
    const int own = *OwnLinesOf(number);
    pthread_mutex_unlock(&g_lock);
    return own | (far.device_open ? kFarEndLines : 0);
}

static void SetOwnLines(int number, unsigned long request, int lines) {
    pthread_mutex_lock(&g_lock);
    int* own = OwnLinesOf(number);
    if (request == TIOCMSET) {
        *own = lines & kOwnLines;
    } else if (request == TIOCMBIS) {
        *own |= lines & kOwnLines;
    } else {
        *own &= ~(lines & kOwnLines);
    }
    pthread_mutex_unlock(&g_lock);
}

/* ---- TIOCMIWAIT ---- */

/* Waits until the host publishes a change of the far end's lines (they
 * change together), as a serial driver wakes on a modem status interrupt.
 * 0 on a change; -1 with EINTR on a signal, EIO when the pair is gone. */
static int WaitForLineChange(int number, dev_t rdev, unsigned long mask) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) {
        return -1;
    }
    /* Renamed into place on every change; removed with the pair. */
    if (inotify_add_watch(watch, g_port_dir, IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF) < 0) {
        close(watch);
        return -1;
    }
    struct clst_pair_lines start;
    clst_read_pair_lines(g_port_dir, number, &start);
    int result = 0;
    for (;;) {
        if (!clst_is_com_end(g_port_dir, number, rdev)) {
            errno = EIO;
            result = -1;
            break;
        }
        struct clst_pair_lines now;
        clst_read_pair_lines(g_port_dir, number, &now);
        if ((mask & (unsigned long)kFarEndLines) != 0 && now.changes != start.changes) {
            break;
        }
        struct pollfd p = {.fd = watch, .events = POLLIN};
        if (poll(&p, 1, kWaitRecheckMs) < 0) {
            result = -1; /* EINTR: a signal ends the wait, as it ends the driver's */
            break;
        }
        char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
    }
    const int saved = errno;
    close(watch);
    errno = saved;
    return result;
}

/* ---- ioctl ---- */

static bool RefusedAsNoModem(int result, unsigned long request) {
    switch (request) {
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMIWAIT:
        case TIOCGICOUNT:
        case TIOCSERGETLSR:
            return result < 0 && (errno == ENOTTY || errno == EINVAL);
        default:
            return false;
    }
}

static int AnswerForComEnd(IoctlFunction real, int fd, unsigned long request, void* arg,
                           int result) {
    const int refused = errno;
    dev_t rdev = 0;
    const int number = clst_char_device(fd, NULL, &rdev) ? ComEndOfDevice(rdev) : -1;
    if (number < 0 || (request != TIOCMIWAIT && arg == NULL)) {
        errno = refused;
        return result;
    }
    switch (request) {
        case TIOCMGET:
            *(int*)arg = ModemLines(number);
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            SetOwnLines(number, request, *(const int*)arg);
            return 0;
        case TIOCMIWAIT:
            return WaitForLineChange(number, rdev, (unsigned long)(uintptr_t)arg);
        case TIOCGICOUNT: {
            struct clst_pair_lines far;
            clst_read_pair_lines(g_port_dir, number, &far);
            struct serial_icounter_struct* counts = arg;
            memset(counts, 0, sizeof *counts);
            counts->cts = counts->dsr = counts->dcd = (int)(far.changes & INT32_MAX);
            return 0;
        }
        default: { /* TIOCSERGETLSR */
            int queued = 0;
            if (real(fd, TIOCOUTQ, &queued) != 0) {
                queued = 0;
            }
            *(int*)arg = queued == 0 ? TIOCSER_TEMT : 0;
            return 0;
        }
    }
}

static int Ioctl(IoctlFunction real, int fd, unsigned long request, void* arg) {
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real(fd, request, arg);
    if (!RefusedAsNoModem(result, request)) {
        return result;
    }
    return AnswerForComEnd(real, fd, request, arg, result);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    static void* real;
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return Ioctl((IoctlFunction)Real(&real, "ioctl"), fd, request, arg);
}

#if defined(__i386__)
EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
    static void* real;
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return Ioctl((IoctlFunction)Real(&real, "__ioctl_time64"), fd, request, arg);
}
#endif

/* ---- open ---- */

/* Whether `path` (relative to `dir_fd`) names a pair COM end. */
static bool IsComEndPath(int dir_fd, const char* path) {
    dev_t rdev = 0;
    return path != NULL && clst_char_device(dir_fd, path, &rdev) && ComEndOfDevice(rdev) > 0;
}

static long ElapsedMs(const struct timespec* since) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since->tv_sec) * 1000L + (now.tv_nsec - since->tv_nsec) / 1000000L;
}

/* One open as the program made it, through one of libc's entry points. */
struct OpenCall {
    enum { kOpen, kOpenAt, kCheckedOpen, kCheckedOpenAt } form;
    void* real;
    int dir_fd;
    const char* path;
    int flags;
    mode_t mode;
};

static int Attempt(const struct OpenCall* call) {
    switch (call->form) {
        case kOpen:
            return ((OpenFunction)call->real)(call->path, call->flags, call->mode);
        case kOpenAt:
            return ((OpenAtFunction)call->real)(call->dir_fd, call->path, call->flags, call->mode);
        case kCheckedOpen:
            return ((CheckedOpenFunction)call->real)(call->path, call->flags);
        default:
            return ((CheckedOpenAtFunction)call->real)(call->dir_fd, call->path, call->flags);
    }
}

/* The open, tried again for kBusyRetryMs while a pair COM end answers EBUSY. */
static int OpenRetryingBusy(const struct OpenCall* call) {
    if (call->real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int fd = Attempt(call);
    if (fd >= 0 || errno != EBUSY) {
        return fd;
    }
    /* The look at the port directory must not change what any other busy
     * terminal reports. */
    if (!IsComEndPath(call->dir_fd, call->path)) {
        errno = EBUSY;
        return -1;
    }
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (fd < 0 && errno == EBUSY && ElapsedMs(&start) < kBusyRetryMs) {
        /* A signal does not end the pause: the program asked for an open,
         * and the kernel's own open would not have failed with EINTR. */
        struct timespec pause = {0, kBusyPauseUs * 1000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        fd = Attempt(call);
    }
    return fd;
}

/* The mode is there only with O_CREAT or O_TMPFILE (whose bits include
 * O_DIRECTORY's, so all of them must be set), as libc itself reads it. */
static mode_t ModeArgument(int flags, va_list args) {
    const bool given = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return given ? (mode_t)va_arg(args, int) : 0;
}

/* Each of libc's open entry points that programs call (the 64-bit-offset
 * names, and the checked forms of _FORTIFY_SOURCE). */
#define DEFINE_OPEN(name)                                                 \
    EXPORT int name(const char* path, int flags, ...) {                   \
        static void* real;                                                \
        va_list args;                                                     \
        va_start(args, flags);                                            \
        const struct OpenCall call = {.form = kOpen,                      \
                                      .real = Real(&real, #name),         \
                                      .dir_fd = AT_FDCWD,                 \
                                      .path = path,                       \
                                      .flags = flags,                     \
                                      .mode = ModeArgument(flags, args)}; \
        va_end(args);                                                     \
        return OpenRetryingBusy(&call);                                   \
    }
#define DEFINE_OPENAT(name)                                               \
    EXPORT int name(int dir_fd, const char* path, int flags, ...) {       \
        static void* real;                                                \
        va_list args;                                                     \
        va_start(args, flags);                                            \
        const struct OpenCall call = {.form = kOpenAt,                    \
                                      .real = Real(&real, #name),         \
                                      .dir_fd = dir_fd,                   \
                                      .path = path,                       \
                                      .flags = flags,                     \
                                      .mode = ModeArgument(flags, args)}; \
        va_end(args);                                                     \
        return OpenRetryingBusy(&call);                                   \
    }
#define DEFINE_CHECKED_OPEN(name)                                 \
    EXPORT int name(const char* path, int flags) {                \
        static void* real;                                        \
        const struct OpenCall call = {.form = kCheckedOpen,       \
                                      .real = Real(&real, #name), \
                                      .dir_fd = AT_FDCWD,         \
                                      .path = path,               \
                                      .flags = flags};            \
        return OpenRetryingBusy(&call);                           \
    }
#define DEFINE_CHECKED_OPENAT(name)                               \
    EXPORT int name(int dir_fd, const char* path, int flags) {    \
        static void* real;                                        \
        const struct OpenCall call = {.form = kCheckedOpenAt,     \
                                      .real = Real(&real, #name), \
                                      .dir_fd = dir_fd,           \
                                      .path = path,               \
                                      .flags = flags};            \
        return OpenRetryingBusy(&call);                           \
    }

DEFINE_OPEN(open)
DEFINE_OPEN(open64)
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)
DEFINE_CHECKED_OPEN(__open_2)
DEFINE_CHECKED_OPEN(__open64_2)
DEFINE_CHECKED_OPENAT(__openat_2)
DEFINE_CHECKED_OPENAT(__openat64_2)
