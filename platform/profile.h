// Private-profile (INI) files with the behaviour of the Win32 profile calls
// the configuration write-back relies on. Section and key names compare
// without regard to case; a write changes only the one line it must (or adds
// the key, the section or the file) and keeps every other byte of the file;
// files with CRLF or LF line ends both work. A write goes to a temporary file
// beside the target that then replaces it, so the file is never left half
// written. Files that are not plain text profiles (a directory, binary data,
// a file above kMaxProfileFileSize) are never parsed or rewritten: reads give
// the default and writes fail.
#pragma once

#include <cstddef>
#include <string>

namespace clst::platform {

constexpr std::size_t kMaxProfileFileSize = 1024 * 1024;

// The value of `key` in `section`, or `defaultValue` when the file, section
// or key is missing or the file is refused; like GetPrivateProfileStringA it
// is cut to `bufferSize` - 1 characters (a size of 0 gives "").
std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, std::size_t bufferSize,
                              const std::string& path);

// Like GetPrivateProfileIntA: `defaultValue` when the key is missing or
// empty, otherwise the leading decimal number of the value (0 when there is
// none).
int ReadProfileInt(const std::string& section, const std::string& key, int defaultValue,
                   const std::string& path);

// Like WritePrivateProfileStringA with a key and a value: replaces the value
// in place, or adds the key, the section or the file. Returns false, leaving
// the file as it was, when the file cannot be read or written, is refused, or
// a name or the value would break the file's lines (line ends or a NUL byte
// anywhere, '[' ']' in a section name, '=' in a key, a key that starts with
// '[' or ';' and so would read as a section or a comment, an empty key).
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path);

}  // namespace clst::platform
