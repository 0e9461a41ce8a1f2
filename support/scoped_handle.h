// A platform handle released on every way out of the scope that holds it,
// so that a function with several exits cannot leak one: files through
// CloseHandle, searches through FindClose.
#ifndef QUORVEL_SUPPORT_SCOPED_HANDLE_H
#define QUORVEL_SUPPORT_SCOPED_HANDLE_H

#include <windows.h>

template <BOOL(WINAPI* Release)(HANDLE)>
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            Release(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

using OwnedFile = ScopedHandle<CloseHandle>;
using OwnedSearch = ScopedHandle<FindClose>;

#endif
