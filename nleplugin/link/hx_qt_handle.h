// Access to a relocatable QuickTime block: save the handle's state, lock it, and put back
// exactly the saved state when the scope ends, on every path. A handle the host had locked
// stays locked; one it had unlocked may move again afterwards, so no pointer into it is kept
// beyond the scope.
#pragma once

#include "hx_quicktime.h"

class hx_qt_locked_handle {
public:
    explicit hx_qt_locked_handle(Handle handle) : handle_(handle)
    {
        if (handle_ != nullptr) {
            state_ = HGetState(handle_);
            HLock(handle_);
        }
    }
    ~hx_qt_locked_handle()
    {
        if (handle_ != nullptr)
            HSetState(handle_, state_);
    }
    hx_qt_locked_handle(const hx_qt_locked_handle&) = delete;
    hx_qt_locked_handle& operator=(const hx_qt_locked_handle&) = delete;

    // The block, valid while this object lives.
    char* block() const { return handle_ != nullptr ? *handle_ : nullptr; }
    int8_t saved_state() const { return state_; }

private:
    Handle handle_;
    int8_t state_ = 0;
};
