// Where the running program lives; the board libraries are found from here.
#pragma once

#include <string>

namespace clst::platform {

// Absolute path of the running executable ("" when it cannot be read).
std::string ProgramPath();
// Directory of the running executable, without a trailing '/'.
std::string ProgramDirectory();
// "<program dir>/../lib", normalised: the emulated and bundled libraries sit
// there both in the build tree (build/bin, build/lib) and after install.
std::string ProgramLibraryDirectory();
// Parent directory of `path` ("/" for "/x", "" when there is no '/').
std::string ParentDirectory(const std::string& path);

}  // namespace clst::platform
