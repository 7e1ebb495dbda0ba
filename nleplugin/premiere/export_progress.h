// What the user sees while an export serves the encoder, and what keeps the host alive meanwhile.
//
// The export runs on the host's thread. Semaphore A's wait calls `on_wait` about ten times a
// second; each call dispatches the thread's messages (so that the host keeps painting and
// answering), calls the host's idle routine, and once the export has run for
// hx_progress_delay_ms shows the "Save for Web" progress window, owned by the host's window.
// From the first call to `end` the host's window is disabled, as under a modal dialog: nothing
// the user does in it can call the module again while it exports.
#pragma once

#include "prm_host.h"

#include <windows.h>

#include <cstdint>

// An export shorter than this shows no window.
constexpr DWORD hx_progress_delay_ms = 1000;
// The window's texts and bar change at most this often, so that a fast export pays nothing.
constexpr DWORD hx_progress_refresh_ms = 250;
// An encoder that has asked for nothing this long is said to be waited for.
constexpr DWORD hx_progress_silence_ms = 3000;

class export_progress {
public:
    // `owner_title`: the window that owns the progress window and is disabled while the export
    // runs (none found: an unowned window, nothing disabled). `frames`: the export's range in
    // frames; 0 or less when unknown.
    export_progress(HINSTANCE resources, const char* owner_title, prm_idle idle, int32_t frames);
    ~export_progress();
    export_progress(const export_progress&) = delete;
    export_progress& operator=(const export_progress&) = delete;

    // Semaphore A's wait callback, with the object as its context: nonzero once the user has
    // pressed Cancel or Escape (or the host is quitting).
    static LONG __cdecl on_wait(uintptr_t context);

    // After each request served; `frame` for a frame request.
    void served(bool frame);
    // After a message box owned by the host's window closed: a message box enables its owner
    // when it closes, and the export is not over.
    void after_box();
    // The host's window enabled, then the window destroyed (in that order, or Windows activates
    // another program). Idempotent; the destructor calls it.
    void end();

private:
    LONG tick();
    void dispatch_messages();
    void show(DWORD now);
    void refresh(DWORD now);
    void draw_bar(const DRAWITEMSTRUCT& item) const;
    static INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

    HINSTANCE resources_;
    HWND owner_;
    prm_idle idle_;
    int32_t frames_;
    DWORD started_;
    DWORD last_request_;        // GetTickCount of the last request served
    DWORD first_frame_at_ = 0;  // ... of the first frame served
    int32_t served_frames_ = 0;
    bool began_ = false;           // the first wait callback has come
    bool owner_disabled_ = false;  // this object disabled the owner and enables it again
    bool window_failed_ = false;   // the window could not be made: the export goes on without
    bool cancelled_ = false;
    HWND window_ = nullptr;
    DWORD refreshed_at_ = 0;
    // What the window shows.
    char frames_text_[64] = "";
    char time_text_[64] = "";
    char waiting_text_[64] = "";
    int bar_permille_ = -1;
};
