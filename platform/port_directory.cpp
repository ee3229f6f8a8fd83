#include "platform/port_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace clst::platform {

namespace {

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string PortDirectoryPath() {
    std::string dir = FromEnvironment("CLSERTOLVANE_PORT_DIR");
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (!dir.empty()) {
        return dir;
    }
    dir = FromEnvironment("XDG_RUNTIME_DIR");
    if (!dir.empty() && dir.front() == '/') {
        return dir + "/clsertolvane";
    }
    return "/tmp/clsertolvane-" + std::to_string(getuid());
}

bool CheckPortDirectory(const std::string& path, std::string& error) {
    if (path.empty() || path.front() != '/') {
        error = "The port directory \"" + path + "\" is not an absolute path.";
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        error = "Cannot examine the port directory \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "The port directory \"" + path + "\" is not a directory.";
        return false;
    }
    if (st.st_uid != getuid()) {
        error = "The port directory \"" + path + "\" belongs to another user.";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "The port directory \"" + path +
                "\" is writable by other users; make it private (chmod 700).";
        return false;
    }
    return true;
}

bool EnsurePortDirectory(std::string& path, std::string& error) {
    path = PortDirectoryPath();
    if (path.empty() || path.front() != '/') {
        error = "The port directory \"" + path + "\" is not an absolute path.";
        return false;
    }
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "Cannot create the port directory \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    return CheckPortDirectory(path, error);
}

}  // namespace clst::platform
