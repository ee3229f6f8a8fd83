/* 64-bit inode numbers even in the i386 build: readdir and stat of the
 * 32-bit interface fail with EOVERFLOW on file systems that use them. */
#define _FILE_OFFSET_BITS 64

#include "platform/serial_lines/pair_end_lines.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* A whole decimal number up to `limit`, nothing else (no sign, no spaces,
 * at most 20 digits). */
static bool ParseCount(const char* text, size_t length, uint64_t limit, uint64_t* value) {
    if (length == 0 || length > 20) {
        return false;
    }
    uint64_t parsed = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        const uint64_t digit = (uint64_t)(text[i] - '0');
        if (digit > limit || parsed > (limit - digit) / 10) {
            return false;
        }
        parsed = parsed * 10 + digit;
    }
    *value = parsed;
    return true;
}

static bool KeyIs(const char* key, size_t length, const char* name) {
    return strlen(name) == length && memcmp(key, name, length) == 0;
}

bool clst_parse_pair_lines(const char* text, size_t length, struct clst_pair_lines* lines) {
    enum { kDevice = 1, kCom = 2, kChanges = 4, kRate = 8, kDropped = 16, kAll = 31 };
    struct clst_pair_lines parsed = {0};
    unsigned seen = 0;
    const char* const end = text + length;
    for (const char* line = text; line < end;) {
        const char* line_end = memchr(line, '\n', (size_t)(end - line));
        if (line_end == NULL) {
            line_end = end;
        }
        const char* eq = memchr(line, '=', (size_t)(line_end - line));
        if (eq != NULL) {
            const size_t key_length = (size_t)(eq - line);
            const char* value = eq + 1;
            const size_t value_length = (size_t)(line_end - value);
            uint64_t number = 0;
            if (KeyIs(line, key_length, "device_open") || KeyIs(line, key_length, "com_open")) {
                if (!ParseCount(value, value_length, 1, &number)) {
                    return false;
                }
                const bool device = KeyIs(line, key_length, "device_open");
                *(device ? &parsed.device_open : &parsed.com_open) = number == 1;
                seen |= device ? kDevice : kCom;
            } else if (KeyIs(line, key_length, "changes") || KeyIs(line, key_length, "dropped")) {
                if (!ParseCount(value, value_length, UINT64_MAX, &number)) {
                    return false;
                }
                const bool changes = KeyIs(line, key_length, "changes");
                *(changes ? &parsed.changes : &parsed.dropped) = number;
                seen |= changes ? kChanges : kDropped;
            } else if (KeyIs(line, key_length, "com_rate")) {
                if (!ParseCount(value, value_length, UINT32_MAX, &number)) {
                    return false;
                }
                parsed.com_rate = (uint32_t)number;
                seen |= kRate;
            }
        }
        line = line_end + 1;
    }
    if (seen != kAll) {
        return false;
    }
    *lines = parsed;
    return true;
}

bool clst_port_directory_path(char* path, size_t size) {
    const char* dir = getenv("CLSERTOLVANE_PORT_DIR");
    int n = 0;
    if (dir != NULL && *dir != '\0') {
        size_t length = strlen(dir);
        while (length > 1 && dir[length - 1] == '/') {
            --length;
        }
        n = snprintf(path, size, "%.*s", (int)length, dir);
    } else if ((dir = getenv("XDG_RUNTIME_DIR")) != NULL && dir[0] == '/') {
        n = snprintf(path, size, "%s/clsertolvane", dir);
    } else {
        n = snprintf(path, size, "/tmp/clsertolvane-%u", (unsigned)getuid());
    }
    return n > 0 && (size_t)n < size;
}

bool clst_port_directory_trusted(const char* path) {
    struct stat st;
    return path[0] == '/' && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == getuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/* "COM" and 1 to 4 digits, as the pair library names COM ends; -1 else. */
static int ComNumber(const char* name) {
    if (strncmp(name, "COM", 3) != 0) {
        return -1;
    }
    int number = 0;
    size_t digits = 0;
    for (const char* c = name + 3; *c != '\0'; ++c, ++digits) {
        if (*c < '0' || *c > '9' || digits == 4) {
            return -1;
        }
        number = number * 10 + (*c - '0');
    }
    return digits > 0 && number > 0 ? number : -1;
}

/* The link's target is a character device of this user: a pty the user's
 * own pair host opened, not someone else's terminal. */
static bool LeadsTo(int dir_fd, const char* name, dev_t rdev) {
    struct stat st;
    return fstatat(dir_fd, name, &st, 0) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev &&
           st.st_uid == getuid();
}

int clst_find_com_end(const char* dir, dev_t rdev) {
    DIR* d = opendir(dir);
    if (d == NULL) {
        return -1;
    }
    int found = -1;
    for (struct dirent* entry; found < 0 && (entry = readdir(d)) != NULL;) {
        const int number = ComNumber(entry->d_name);
        if (number > 0 && LeadsTo(dirfd(d), entry->d_name, rdev)) {
            found = number;
        }
    }
    closedir(d);
    return found;
}

bool clst_is_com_end(const char* dir, int number, dev_t rdev) {
    char name[32];
    snprintf(name, sizeof name, "COM%d", number);
    const int dir_fd = (int)syscall(SYS_openat, AT_FDCWD, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        return false;
    }
    const bool leads = LeadsTo(dir_fd, name, rdev);
    close(dir_fd);
    return leads;
}

bool clst_char_device(int dir_fd, const char* path, dev_t* rdev) {
    struct stat st;
    const int found = path != NULL ? fstatat(dir_fd, path, &st, 0) : fstat(dir_fd, &st);
    if (found != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    *rdev = st.st_rdev;
    return true;
}

bool clst_read_pair_lines(const char* dir, int number, struct clst_pair_lines* lines) {
    static const struct clst_pair_lines kOff = {0};
    *lines = kOff;
    char path[4096];
    if (snprintf(path, sizeof path, "%s/CNC%d.lines", dir, number) >= (int)sizeof path) {
        return false;
    }
    /* The raw system call: open() itself is what the library replaces. */
    const int fd =
        (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[1024];
    size_t length = 0;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
              (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    while (ok && length < sizeof text) {
        const ssize_t n = read(fd, text + length, sizeof text - length);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        length += (size_t)n;
    }
    close(fd);
    /* A file longer than any the host writes is not the host's. */
    return ok && length < sizeof text && clst_parse_pair_lines(text, length, lines);
}
