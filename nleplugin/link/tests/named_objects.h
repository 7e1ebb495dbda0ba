// Kernel objects by name, whichever process holds them: whether a channel's names are still
// taken, and a child process that takes one of them for as long as a test needs.
#pragma once

#include "test_process.h"

#include <windows.h>

#include <string>
#include <vector>

enum class named_kind { mapping, semaphore };

struct named_object {
    std::string name;
    named_kind kind;
};

// Whether an object of that name and kind exists in any process.
bool named_object_exists(const named_object& object);

// The names of `objects` that exist, each followed by a blank; "" when none does.
std::string named_objects_left(const std::vector<named_object>& objects);

// A child process of this test program that creates `object` and holds it until released (or
// for 30 seconds at most). The child is ended if the holder goes without releasing it.
class name_holder {
public:
    name_holder() = default;
    name_holder(const name_holder&) = delete;
    name_holder& operator=(const name_holder&) = delete;

    // Starts the child and waits up to `timeout_ms` until it holds the name; false if it could
    // not create it (the name was taken already) or did not say so in time.
    bool hold(const named_object& object, DWORD timeout_ms = 15000);
    // Lets the child close the object and exit; its exit status (0 when it held the name
    // throughout), or STILL_ACTIVE if it did not end within `timeout_ms`.
    DWORD release(DWORD timeout_ms = 15000);

private:
    // An event this holder owns.
    struct event {
        event() = default;
        event(const event&) = delete;
        event& operator=(const event&) = delete;
        ~event()
        {
            if (h_ != nullptr)
                CloseHandle(h_);
        }
        HANDLE get() const { return h_; }
        HANDLE h_ = nullptr;
    };
    event ready_, release_;
    test_process child_;
};
