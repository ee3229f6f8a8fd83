#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <utility>

namespace clst::platform {

DynamicLibrary::~DynamicLibrary() {
    Unload();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      error_(std::move(other.error_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        Unload();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        error_ = std::move(other.error_);
    }
    return *this;
}

bool DynamicLibrary::Load(const std::string& absolutePath) {
    Unload();
    error_.clear();
    if (absolutePath.empty() || absolutePath.front() != '/') {
        error_ = "refusing to load a library from a relative path: \"" + absolutePath + "\"";
        return false;
    }
    dlerror();
    handle_ = dlopen(absolutePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : ("cannot load " + absolutePath);
        return false;
    }
    path_ = absolutePath;
    return true;
}

void* DynamicLibrary::Symbol(const char* name) {
    if (handle_ == nullptr || name == nullptr) {
        error_ = "no library loaded";
        return nullptr;
    }
    dlerror();
    void* address = dlsym(handle_, name);
    if (address == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : (std::string("symbol not found: ") + name);
    }
    return address;
}

void DynamicLibrary::Unload() {
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
    path_.clear();
}

}  // namespace clst::platform
