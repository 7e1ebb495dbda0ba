// A kernel handle with one owner, closed when the owner goes.
#pragma once

#include <windows.h>

class hx_handle {
public:
    hx_handle() = default;
    explicit hx_handle(HANDLE h) : handle_(h) {}
    hx_handle(hx_handle&& other) noexcept : handle_(other.release()) {}
    hx_handle& operator=(hx_handle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    hx_handle(const hx_handle&) = delete;
    hx_handle& operator=(const hx_handle&) = delete;
    ~hx_handle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE release()
    {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr)
    {
        if (handle_ != nullptr)
            CloseHandle(handle_);
        handle_ = h;
    }

private:
    HANDLE handle_ = nullptr;
};
