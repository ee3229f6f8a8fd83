// The directory where virtual port links (COM5, ZADURUV5, ...) live.
#pragma once

#include <string>

namespace clst::platform {

// The port directory's path by the lookup rule: $CLSERTOLVANE_PORT_DIR,
// else $XDG_RUNTIME_DIR/clsertolvane, else /tmp/clsertolvane-<uid>.
// Nothing is created or checked.
std::string PortDirectoryPath();

// Whether `path` is safe to use as the port directory: an absolute path of a
// real directory (not a symlink), owned by this user, not writable by group
// or others. Links in any other directory could have been planted by another
// user. On refusal sets `error` to a sentence the user can act on.
bool CheckPortDirectory(const std::string& path, std::string& error);

// Makes sure the port directory exists (created 0700) and is safe to use:
// a real directory (not a symlink), owned by this user, not writable by
// group or others. Returns true and sets `path`; on refusal returns false
// and sets `error` to a sentence the user can act on.
bool EnsurePortDirectory(std::string& path, std::string& error);

}  // namespace clst::platform
