// Run-time loading of the board maker's shared libraries.
#pragma once

#include <string>

namespace clst::platform {

// One loaded shared library. Libraries are only ever loaded from absolute
// paths: never from the current directory or a search path, so a planted
// file cannot take the place of the maker's library.
class DynamicLibrary {
  public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;

    // Loads `absolutePath`. Returns false (and leaves the object empty) when
    // the path is not absolute or the loader refuses it; error() then says why.
    bool Load(const std::string& absolutePath);
    // Address of an exported symbol, or nullptr (error() says why).
    void* Symbol(const char* name);
    // Keeps the library mapped until the process ends, even after this
    // object is destroyed.
    void Leak() { handle_ = nullptr; }
    void Unload();

    bool IsLoaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

  private:
    void* handle_ = nullptr;
    std::string path_;
    std::string error_;
};

}  // namespace clst::platform
