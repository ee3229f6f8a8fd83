// Where the running program lives; the board libraries are found from here.
#pragma once

#include <string>

namespace clst::platform {

// Absolute path of the running executable ("" when it cannot be read).
std::string ProgramPath();
// Directory of the running executable, without a trailing '/'.
std::string ProgramDirectory();
// The folder of the libraries that come with the running program: the
// private folder of an installed tree (InstalledLibraryDirectory), else
// "<program dir>/../lib", normalised (the build tree: build/bin, build/lib).
std::string ProgramLibraryDirectory();
// An installed tree keeps its own libraries and helper programs in
// "<prefix>/lib/clsertolvane", beside the programs' "<prefix>/bin", where no
// other program on the machine looks for them. For a program at
// `programPath`: that folder when it exists, else "".
std::string InstalledLibraryDirectory(const std::string& programPath);
// Parent directory of `path` ("/" for "/x", "" when there is no '/').
std::string ParentDirectory(const std::string& path);

}  // namespace clst::platform
