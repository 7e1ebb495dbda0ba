// Watches, from a thread of its own, the module's progress window in this process as a person at
// the screen would: when it appears and goes, what it says at a few moments, whether the host's
// window stays disabled under it; and presses its Cancel button (a click) or Escape once a number
// of frames has been served. What it sees is printed on standard output:
//
//   progress window: appeared 1.04 s after Start, 9 frames served; owned by the host's window, which is
//   disabled progress window: "30 of 120 frames" "0:04 spent, about 0:12 left" "" progress window: Cancel
//   pressed at 60 frames, 8.10 s after Start progress window: "60 of 120 frames" "0:08 spent, about 0:08
//   left" ""   (the last look) progress window: gone 8.39 s after Start progress window: gone when the export
//   returned; the host's window enabled and active progress window: the export returned 0.29 s after Cancel
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class progress_watch {
public:
    struct plan {
        long press_after = -1;  // frames served before the key is pressed; -1: never
        bool escape = false;    // Escape in the window instead of a click on Cancel
        int32_t frames = 0;     // the export's range, for the moments the texts are printed
        HWND host_window = nullptr;
    };
    struct texts {
        std::string frames, time, waiting;
    };

    // `frames_served`: how many frames the host has handed out so far (read from the watch's
    // thread). `started_at`: GetTickCount when Start was pressed, 0 while not known.
    progress_watch(const plan& p, std::function<long()> frames_served, std::function<DWORD()> started_at);
    ~progress_watch();
    progress_watch(const progress_watch&) = delete;
    progress_watch& operator=(const progress_watch&) = delete;

    // Call on the host's thread as soon as the export has returned: stops watching, looks at the
    // window and the host's window as they are then, and prints the last lines. Idempotent.
    void finish();

    // What a progress window shows; the three texts read through its controls.
    static texts read(HWND window);
    // The module's progress window among this process's visible windows, or null.
    static HWND find();

private:
    static DWORD WINAPI run(void* self);
    void watch();
    void say(const std::string& line);
    void print_texts(const texts& t);
    // "1.04 s after Start"
    std::string since(DWORD tick) const;
    void press(HWND window);

    plan plan_;
    std::function<long()> frames_served_;
    std::function<DWORD()> started_at_;
    DWORD created_at_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    // Written by the watch's thread, read by finish() after it has stopped.
    HWND window_ = nullptr;
    bool appeared_ = false;
    bool gone_ = false;
    bool in_front_ = false;  // the foreground window at the last look
    texts last_;             // what it showed at the last look
    DWORD pressed_at_ = 0;
    long owner_enabled_seen_ = 0;  // looks that found the host's window enabled, as did the one before
    bool owner_was_enabled_ = false;
    bool finished_ = false;
};
