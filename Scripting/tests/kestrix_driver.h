// Drives a Kestrix.exe of this build from a test: starts it against the automation stand-in with
// a log file and a control file of its own, finds its form and controls, types into text boxes,
// clicks buttons and answers message boxes. Kestrix's process is ended when the driver goes.
#pragma once

#include "test_process.h"

#include <string>
#include <vector>

// Registers the automation stand-in of this build in the prefix (DllRegisterServer); true on
// success. Registering again writes the same values.
bool register_automation_standin();

// Pixels for twips at the display's resolution.
int twips_across(int twips);
int twips_down(int twips);

struct message_box_seen {
    bool found = false;
    std::string caption;
    std::string text;
    HWND owner = nullptr;
    // Icon handles are private to a process, so which icon it is cannot be told from here.
    bool icon = false;
};

class kestrix_run {
public:
    kestrix_run();
    kestrix_run(const kestrix_run&) = delete;
    kestrix_run& operator=(const kestrix_run&) = delete;
    ~kestrix_run();

    // Writes the stand-in's control file (see standins/automation/standin_io.h).
    void control(const std::string& instructions);
    // Starts the form and waits until its window is up.
    bool start();

    HWND form() const { return form_; }
    HWND window(int id) const;
    bool type(int id, const std::string& text);
    std::string text(int id) const;
    // Clicks and returns once the click's handler has returned; false if it did not within the
    // time limit (a message box that nobody answers, say).
    bool click(int id);
    // Clicks and returns at once.
    void click_later(int id);
    // Waits for a message box of this Kestrix, notes what it shows and, if `press_ok`, presses
    // OK and waits until it is gone.
    message_box_seen wait_message_box(bool press_ok = true);
    message_box_seen click_into_message_box(int id);

    // The stand-in's log, one entry a line.
    std::vector<std::string> log() const;
    // Only the lines of ITessora method calls.
    std::vector<std::string> calls() const;
    bool log_has(const std::string& line) const;
    // Index of the first line equal to `line`, or -1.
    int log_index(const std::string& line) const;

    bool running();
    DWORD wait_exit(DWORD timeout_ms) { return process_.wait_exit(timeout_ms); }
    // Closes the form as its close box would; returns the exit status (STILL_ACTIVE on time-out).
    DWORD close();

private:
    test_process process_;
    std::string log_path_;
    std::string control_path_;
    HWND form_ = nullptr;
};

// Time limits of the driver's waits.
constexpr DWORD kestrix_timeout_ms = 10000;
