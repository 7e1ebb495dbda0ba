// The Kestrix form: a frame, eight text boxes and fourteen buttons on one window. Two buttons
// create the encoder's automation object; each of the others calls one method of ITessora on
// the object held, with the text of the box beside it where the method takes a string.
#pragma once

#include "com_handles.h"
#include "tessora.h"

#include <string>

// The outcome of a click handler. A failure carries the HRESULT, what was being done and the
// description to show (the object's own error information when it gave one).
struct kestrix_failure {
    HRESULT code = S_OK;
    std::string action;
    std::string description;

    bool failed() const { return FAILED(code); }
};

class Kestrix {
public:
    Kestrix() = default;
    Kestrix(const Kestrix&) = delete;
    Kestrix& operator=(const Kestrix&) = delete;
    virtual ~Kestrix();

    // Builds the form and shows it; false if a window could not be made.
    bool create(HINSTANCE instance, int show);
    // Runs the form's message loop until its window is gone; returns the program's exit status
    // (0 after a close, 1 after a failure was shown).
    int run();

private:
    struct click_handler {
        int button;
        bool needs_object;
        kestrix_failure (Kestrix::*handle)();
    };
    static const click_handler click_handlers[];

    static LRESULT CALLBACK form_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK frame_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam);
    bool create_controls();
    HWND control(int id) const;
    void clicked(int button);
    void end_with(const kestrix_failure& failure);

    kestrix_failure StartLocal_Click();
    kestrix_failure LaunchRemote_Click();
    kestrix_failure Destination_Click();
    kestrix_failure SettingAlts_Click();
    kestrix_failure SelectAll_Click();
    kestrix_failure Start_Click();
    kestrix_failure Suspend_Click();
    kestrix_failure Setting_Click();
    kestrix_failure XMLSetting_Click();
    kestrix_failure ItemDestination_Click();
    kestrix_failure Add_Click();
    kestrix_failure Clear_Click();
    kestrix_failure Ready_Click();
    kestrix_failure ExitButton_Click();

    using string_method = HRESULT (*)(ITessora& object, BSTR text);
    kestrix_failure call_with_text(int box, const char* method, string_method call);
    kestrix_failure read_text(int box, std::string& text) const;
    kestrix_failure write_text(int box, const char* text);

    HWND form_ = nullptr;
    HWND frame_ = nullptr;
    HWND focus_ = nullptr;
    gdi_font font_;
    com_ptr<ITessora> object_;
    bool in_handler_ = false;
    bool ending_ = false;
    bool close_pending_ = false;
    int exit_code_ = 0;
};
