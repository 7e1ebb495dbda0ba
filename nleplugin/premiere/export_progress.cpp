#include "export_progress.h"

#include "resource.h"

#include <cstdio>
#include <cstring>

namespace {

// However many messages wait, the encoder's next request is not kept waiting longer than this.
constexpr DWORD dispatch_budget_ms = 50;

// "0:07", "12:34", "1:02:03".
void format_duration(char* out, size_t size, DWORD ms)
{
    const unsigned long seconds = ms / 1000;
    if (seconds >= 3600)
        std::snprintf(out, size, "%lu:%02lu:%02lu", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        std::snprintf(out, size, "%lu:%02lu", seconds / 60, seconds % 60);
}

// Sets a control's text only when it changes: a static control repaints on every WM_SETTEXT.
void set_text(HWND dialog, int id, char (&shown)[64], const char* text)
{
    if (std::strcmp(shown, text) == 0)
        return;
    std::snprintf(shown, sizeof shown, "%s", text);
    SetDlgItemTextA(dialog, id, text);
}

}  // namespace

export_progress::export_progress(HINSTANCE resources, const char* owner_title, prm_idle idle, int32_t frames)
    : resources_(resources), owner_(FindWindowA(nullptr, owner_title)), idle_(idle), frames_(frames),
      started_(GetTickCount()), last_request_(started_)
{
}

export_progress::~export_progress()
{
    end();
}

LONG __cdecl export_progress::on_wait(uintptr_t context)
{
    return reinterpret_cast<export_progress*>(context)->tick();
}

void export_progress::served(bool frame)
{
    last_request_ = GetTickCount();
    if (!frame)
        return;
    if (served_frames_ == 0)
        first_frame_at_ = last_request_;
    ++served_frames_;
}

void export_progress::after_box()
{
    if (owner_disabled_)
        EnableWindow(owner_, FALSE);
    // The box gave the activation back to its owner, which takes no keys now: Escape and Cancel
    // are the window's again.
    if (window_ != nullptr)
        SetFocus(GetDlgItem(window_, IDC_CANCEL));
}

void export_progress::end()
{
    if (owner_disabled_) {
        EnableWindow(owner_, TRUE);
        owner_disabled_ = false;
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
}

LONG export_progress::tick()
{
    if (!began_) {
        began_ = true;
        // From the first message dispatched on: a click in the host's window must not reach the
        // module again while it exports. EnableWindow answers zero when the window was enabled.
        if (owner_ != nullptr)
            owner_disabled_ = EnableWindow(owner_, FALSE) == 0;
    }
    dispatch_messages();
    idle_();
    if (!cancelled_) {
        const DWORD now = GetTickCount();
        if (window_ == nullptr) {
            if (!window_failed_ && now - started_ >= hx_progress_delay_ms)
                show(now);
        } else if (now - refreshed_at_ >= hx_progress_refresh_ms) {
            refresh(now);
        }
    }
    return cancelled_ ? 1 : 0;
}

void export_progress::dispatch_messages()
{
    const DWORD began = GetTickCount();
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The host is closing: the export stops, and the host's own loop gets the quit back.
            PostQuitMessage(static_cast<int>(message.wParam));
            cancelled_ = true;
            return;
        }
        // The dialog manager first, so that Escape, Tab and the button's keys work.
        if (window_ == nullptr || !IsDialogMessageA(window_, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (GetTickCount() - began >= dispatch_budget_ms)
            return;
    }
}

void export_progress::show(DWORD now)
{
    window_ =
        CreateDialogParamA(resources_, "PROGRESS_EZ", owner_, procedure, reinterpret_cast<LPARAM>(this));
    if (window_ == nullptr) {
        // The export goes on without it, and the owner stays disabled: the module must not be
        // entered again meanwhile.
        window_failed_ = true;
        return;
    }
    refresh(now);
    ShowWindow(window_, SW_SHOW);
}

void export_progress::refresh(DWORD now)
{
    refreshed_at_ = now;
    const int32_t shown_frames = frames_ > 0 && served_frames_ > frames_ ? frames_ : served_frames_;
    char text[64];
    if (frames_ > 0)
        std::snprintf(text, sizeof text, "%ld of %ld frames", static_cast<long>(shown_frames),
                      static_cast<long>(frames_));
    else
        std::snprintf(text, sizeof text, "%ld frames", static_cast<long>(shown_frames));
    set_text(window_, IDC_PROGRESS_FRAMES, frames_text_, text);

    char spent[16];
    format_duration(spent, sizeof spent, now - started_);
    if (frames_ > 0 && shown_frames >= frames_) {
        std::snprintf(text, sizeof text, "%s spent, finishing", spent);
    } else if (frames_ > 0 && shown_frames > 0) {
        // At the pace of the frames so far; the requests before the first frame do not recur.
        const double per_frame = static_cast<double>(now - first_frame_at_) / shown_frames;
        char left[16];
        format_duration(left, sizeof left, static_cast<DWORD>(per_frame * (frames_ - shown_frames)));
        std::snprintf(text, sizeof text, "%s spent, about %s left", spent, left);
    } else {
        std::snprintf(text, sizeof text, "%s spent", spent);
    }
    set_text(window_, IDC_PROGRESS_TIME, time_text_, text);

    const DWORD silent = now - last_request_;
    if (silent >= hx_progress_silence_ms)
        std::snprintf(text, sizeof text, "Waiting for Tessora: %lu s",
                      static_cast<unsigned long>(silent / 1000));
    else
        text[0] = 0;
    set_text(window_, IDC_PROGRESS_WAITING, waiting_text_, text);

    const int permille =
        frames_ > 0 ? static_cast<int>(static_cast<int64_t>(shown_frames) * 1000 / frames_) : 0;
    if (permille != bar_permille_) {
        bar_permille_ = permille;
        InvalidateRect(GetDlgItem(window_, IDC_PROGRESS_BAR), nullptr, FALSE);
    }
}

// A sunken trough, filled from the left in the selection colour: the look of the system's own
// progress bars, drawn here so that the module needs no common controls library.
void export_progress::draw_bar(const DRAWITEMSTRUCT& item) const
{
    RECT trough = item.rcItem;
    DrawEdge(item.hDC, &trough, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    const int permille = bar_permille_ < 0 ? 0 : bar_permille_;
    RECT done = trough;
    done.right = trough.left + (trough.right - trough.left) * permille / 1000;
    RECT rest = trough;
    rest.left = done.right;
    FillRect(item.hDC, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
    FillRect(item.hDC, &rest, GetSysColorBrush(COLOR_WINDOW));
}

INT_PTR CALLBACK export_progress::procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lparam);
        return TRUE;  // the dialog manager gives Cancel the focus
    }
    auto* me = reinterpret_cast<export_progress*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (me == nullptr)
        return FALSE;
    switch (message) {
    case WM_COMMAND:
        // The button, Escape (the dialog manager) and the close box (WM_CLOSE) all come as this.
        if (LOWORD(wparam) != IDC_CANCEL)
            return FALSE;
        me->cancelled_ = true;
        return TRUE;
    case WM_DRAWITEM:
        if (wparam != IDC_PROGRESS_BAR)
            return FALSE;
        me->draw_bar(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
    default:
        return FALSE;
    }
}
