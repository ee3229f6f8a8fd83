/* What the preloaded serial-lines library knows of port pairs: which
 * descriptor is one of this user's pair COM ends, and what the pair host
 * publishes about the far end. Plain C with no C++ runtime, because the
 * library is loaded into every program that clsertolvane-run starts (Wine,
 * Python, ser2net), of both word sizes. */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The contents of <port dir>/CNC<n>.lines, as the pair host writes them
 * (the format of maro_vcp::FormatLines). */
struct clst_pair_lines {
    bool device_open; /* a program (the relay) holds the device end */
    bool com_open;
    uint64_t changes; /* times device_open changed */
    uint32_t com_rate;
    uint64_t dropped;
};

/* Parses the "key=value" lines; false when a key is missing or malformed,
 * with the same rules as maro_vcp::ParseLines (the two must agree). */
bool clst_parse_pair_lines(const char* text, size_t length, struct clst_pair_lines* lines);

/* The port directory by the lookup rule ($CLSERTOLVANE_PORT_DIR, else
 * $XDG_RUNTIME_DIR/clsertolvane, else /tmp/clsertolvane-<uid>) into `path`;
 * false when it does not fit. */
bool clst_port_directory_path(char* path, size_t size);

/* Whether links in `path` may be trusted: an absolute path of a real
 * directory (not a symlink) owned by this user and not writable by group or
 * others, as the pair library demands of it. */
bool clst_port_directory_trusted(const char* path);

/* The number n of the COM<n> link in `dir` that leads to this user's
 * character device `rdev`, or -1. `dir` must be trusted. */
int clst_find_com_end(const char* dir, dev_t rdev);

/* Whether <dir>/COM<number> still leads to `rdev` (a cached answer of
 * clst_find_com_end checked again: pty numbers are reused). */
bool clst_is_com_end(const char* dir, int number, dev_t rdev);

/* The device number when `path` (relative to `dir_fd`; NULL: the open file
 * `dir_fd` itself) is a character device. */
bool clst_char_device(int dir_fd, const char* path, dev_t* rdev);

/* Reads <dir>/CNC<number>.lines when it is a regular file of this user,
 * not writable by others, reached without following a link; false (and
 * `lines` all off) otherwise. */
bool clst_read_pair_lines(const char* dir, int number, struct clst_pair_lines* lines);

#ifdef __cplusplus
}
#endif
