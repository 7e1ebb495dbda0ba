// A window of the encoder's main class ("MainClassW") owned by the test: a plug-in finds it,
// posts its wake-up message to it and watches this process as the encoder's, and the test then
// opens the channel itself and asks exactly the requests it checks.
#pragma once

#include <windows.h>

class encoder_window {
public:
    encoder_window()
    {
        WNDCLASSA window_class{};
        window_class.lpfnWndProc = DefWindowProcA;
        window_class.lpszClassName = "MainClassW";
        RegisterClassA(&window_class);
        window_ = CreateWindowA("MainClassW", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    }
    ~encoder_window()
    {
        if (window_ != nullptr)
            DestroyWindow(window_);
    }
    encoder_window(const encoder_window&) = delete;
    encoder_window& operator=(const encoder_window&) = delete;

    HWND handle() const { return window_; }

private:
    HWND window_ = nullptr;
};
