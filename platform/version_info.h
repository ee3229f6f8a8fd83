// Version data of a program file: a small string table the build embeds in
// the executable (an ELF section), read back from the file at run time.
//
// The table is the section ".clst_version": the magic "CLSTVER1", a NUL, then
// pairs of NUL-terminated key and value, ended by an empty key. Keys are
// paths like "\StringFileInfo\040704b0\FileVersion".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clst::platform {

inline constexpr const char* kVersionSectionName = ".clst_version";
inline constexpr char kVersionMagic[] = "CLSTVER1";

// Size of the version data of the ELF file at `path`; 0 when the file cannot
// be read, is not a 64-bit ELF file or has no well-formed version section.
uint32_t GetFileVersionInfoSize(const std::string& path);

// Reads the version data of `path` into `block` (at most `size` bytes are
// taken). False when there is none.
bool GetFileVersionInfo(const std::string& path, uint32_t size, std::vector<uint8_t>& block);

// Looks `subBlock` up in `block`. False when the key is absent (then `value`
// is left alone) or the block is malformed.
bool VerQueryValue(const std::vector<uint8_t>& block, const std::string& subBlock,
                   std::string& value);

}  // namespace clst::platform
