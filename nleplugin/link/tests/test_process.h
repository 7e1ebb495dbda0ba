// Helpers for tests that cross a process boundary: children started from the same test
// program (a role named on the command line) or from another program of the build, each
// ended when its owner goes, so that nothing a test starts outlives it.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

class test_process {
public:
    test_process() = default;
    test_process(test_process&& other) noexcept;
    test_process& operator=(test_process&& other) noexcept;
    test_process(const test_process&) = delete;
    test_process& operator=(const test_process&) = delete;
    ~test_process();

    // Starts `program` (a path) with the command-line tail `args`, its standard output and error
    // into the file `output` when one is named. False on failure.
    bool start(const std::string& program, const std::string& args, const std::string& output = "");
    // Starts this test program in the child role `role`.
    bool start_role(const std::string& role, const std::string& args = "");
    // The exit status, or STILL_ACTIVE if it did not end within `timeout_ms`.
    DWORD wait_exit(DWORD timeout_ms);
    void kill();
    HANDLE handle() const { return info_.hProcess; }
    DWORD id() const { return info_.dwProcessId; }

private:
    PROCESS_INFORMATION info_{};
};

// Folder of the build's programs, with a trailing backslash.
std::string bin_dir();
// A kernel-object name no other test or run uses.
std::string unique_name(const std::string& tag);
// A fresh file path in the temporary folder (the file does not exist).
std::string temp_file(const std::string& tag);
std::string read_file(const std::string& path);

// A new folder under the temporary folder whose path is exactly `length` characters long
// (nested folders, each name at most 200 characters), removed with whatever files it holds
// when its owner goes. Long paths for tests of the limits of path buffers.
class folder_of_length {
public:
    folder_of_length(size_t length, const std::string& tag);
    ~folder_of_length();
    folder_of_length(const folder_of_length&) = delete;
    folder_of_length& operator=(const folder_of_length&) = delete;

    // The innermost folder; empty when the folder could not be made (the test has failed then).
    std::string path() const { return made_.empty() ? std::string() : made_.back(); }

private:
    std::vector<std::string> made_;  // outermost first
};

// Child roles: a test program's main runs the role named after "--child" and exits with
// its result. Registered at static-initialisation time with HX_CHILD_ROLE.
using child_role = std::function<int(const std::vector<std::string>& args)>;
std::map<std::string, child_role>& child_roles();
struct child_role_registration {
    child_role_registration(const char* name, child_role role) { child_roles()[name] = std::move(role); }
};
#define HX_CHILD_ROLE(name)                                                                                  \
    static int name##_role(const std::vector<std::string>& args);                                            \
    static child_role_registration name##_registration(#name, name##_role);                                  \
    static int name##_role(const std::vector<std::string>& args)

// Waits in a thread of its own for a message box with `caption`, notes what it shows and
// presses OK. Give up after `timeout_ms`.
class message_box_watch {
public:
    struct seen {
        bool found = false;
        std::string text;
        HWND owner = nullptr;
        bool error_icon = false;
    };

    // `accept` can pass over other dialogs that carry the same caption.
    explicit message_box_watch(const std::string& caption, DWORD timeout_ms = 15000,
                               std::function<bool(HWND)> accept = nullptr);
    ~message_box_watch();
    message_box_watch(const message_box_watch&) = delete;
    message_box_watch& operator=(const message_box_watch&) = delete;

    // Waits for the watcher and returns what it saw.
    const seen& result();

private:
    seen seen_;
    HANDLE thread_ = nullptr;
    std::string caption_;
    DWORD timeout_ms_;
    std::function<bool(HWND)> accept_;
    static DWORD WINAPI watch(void* self);
};

// Waits for `object` while this thread's windows keep answering; true if it was signalled.
bool wait_pumping(HANDLE object, DWORD timeout_ms);

// Polls `condition` every 20 ms until it holds or `timeout_ms` passes, pumping messages.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = 15000);
