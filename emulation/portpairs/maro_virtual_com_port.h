// The virtual port-pair library's C interface, as the program loads it.
// Every call is synchronous, returns within a second and reports failures
// by its result; the text of the latest failure is kept for
// VcpGetLastErrorText.
#pragma once

#include <stdint.h>

#define MARO_VCP_API extern "C" __attribute__((visibility("default")))

// Non-zero when the port directory is usable.
MARO_VCP_API int32_t VcpInitialize(void);
// Number of live pairs (leftovers of dead hosts are cleaned first); the
// snapshot is what VcpGetPair reads. 0 when there are none, -1 on failure.
MARO_VCP_API int32_t VcpGetPairCount(void);
// Copies pair name ("CNC<n>"), first port ("COM<n>", what other programs
// open) and second port ("ZADURUV<n>", what this program opens) of the
// listed pair `index` into three buffers of at least 20 bytes. Zero when
// the index is not listed.
MARO_VCP_API int32_t VcpGetPair(int32_t index, char* pairName, char* firstPort, char* secondPort);
// With null: bytes the latest error text needs, NUL included. With a
// buffer: fills it (at most 512 bytes) and returns the same count.
MARO_VCP_API int32_t VcpGetLastErrorText(char* buffer);
// Installs the pair CNC<n> with COM<n> and ZADURUV<n> (and the alias
// MAROCOM<n>); returns when both ports can be opened. Non-zero: installed.
MARO_VCP_API int32_t VcpInstallPair(int32_t portNumber);
// Removes the pair named "CNC<n>": stops its host and removes its links.
MARO_VCP_API int32_t VcpRemovePair(const char* pairName);
// Non-zero when COM<n> is taken by a pair or a system serial port.
MARO_VCP_API int32_t VcpIsPortNumberInUse(int32_t portNumber);
// Forgets the listing; the pairs themselves stay installed.
MARO_VCP_API int32_t VcpRelease(void);
