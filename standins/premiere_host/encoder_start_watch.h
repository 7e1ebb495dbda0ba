// What the host can see of the encoder's start: the module's import of ShellExecuteExA is
// pointed at a recorder that passes the call on and keeps a handle of the process it started,
// so that the host can say afterwards whether the module started an encoder, with what, and
// whether that process ended.
#pragma once

#include <windows.h>

#include <shellapi.h>  // after windows.h

#include <string>

class encoder_start_watch {
public:
    explicit encoder_start_watch(HMODULE module);  // one watch at a time
    ~encoder_start_watch();
    encoder_start_watch(const encoder_start_watch&) = delete;
    encoder_start_watch& operator=(const encoder_start_watch&) = delete;

    bool watching() const { return real_ != nullptr; }  // the module imports ShellExecuteExA
    bool asked() const { return asked_; }               // the module asked for a start
    bool started() const { return process_ != nullptr; }
    DWORD start_error() const { return error_; }  // why the start failed
    const std::string& program() const { return program_; }
    const std::string& arguments() const { return arguments_; }
    DWORD process_id() const { return process_id_; }
    // Whether the started process has ended, and then its exit status.
    bool ended(DWORD* status) const;

private:
    using shell_execute_ex_fn = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);
    static BOOL WINAPI record(SHELLEXECUTEINFOA* info);
    static encoder_start_watch* current_;

    HMODULE module_;
    shell_execute_ex_fn real_ = nullptr;
    bool asked_ = false;
    DWORD error_ = 0;
    std::string program_, arguments_;
    HANDLE process_ = nullptr;
    DWORD process_id_ = 0;
};
