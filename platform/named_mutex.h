// Named mutexes between processes, with the lifetime of a Windows named
// mutex: the name exists while any process holds a handle to it, and a
// process that dies releases its handles.
#pragma once

#include <string>

namespace clst::platform {

class NamedMutexHandle {
  public:
    NamedMutexHandle() = default;
    ~NamedMutexHandle();
    NamedMutexHandle(NamedMutexHandle&& other) noexcept;
    NamedMutexHandle& operator=(NamedMutexHandle&& other) noexcept;
    NamedMutexHandle(const NamedMutexHandle&) = delete;
    NamedMutexHandle& operator=(const NamedMutexHandle&) = delete;

    bool IsValid() const { return fd_ >= 0; }
    void Close();

  private:
    friend NamedMutexHandle CreateNamedMutex(const std::string&, bool&, std::string&);
    int fd_ = -1;
};

// Opens a handle to the mutex `name` (letters, digits, '_' and '-'),
// creating it when no process holds one. `alreadyExisted` tells which. The
// names live as lock files in the port directory. On failure the handle is
// invalid and `error` says why.
NamedMutexHandle CreateNamedMutex(const std::string& name, bool& alreadyExisted,
                                  std::string& error);

}  // namespace clst::platform
