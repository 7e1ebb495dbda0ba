#include "progress_watch.h"

#include "resource.h"

#include <cstdio>

namespace {

constexpr DWORD poll_ms = 20;
// A read of a control's text is a message to the module's thread, which answers between the
// encoder's requests; one that takes longer than this is left empty.
constexpr UINT text_timeout_ms = 1000;

std::string control_text(HWND window, int id)
{
    char text[128] = "";
    DWORD_PTR length = 0;
    const HWND control = GetDlgItem(window, id);
    if (control == nullptr ||
        SendMessageTimeoutA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                            text_timeout_ms, &length) == 0)
        return "";
    return std::string(text, length < sizeof text ? length : 0);
}

bool class_is(HWND w, const char* name)
{
    char text[32] = "";
    GetClassNameA(w, text, sizeof text);
    return lstrcmpiA(text, name) == 0;
}

BOOL CALLBACK visit(HWND w, LPARAM context)
{
    DWORD process = 0;
    GetWindowThreadProcessId(w, &process);
    if (process == GetCurrentProcessId() && class_is(w, "#32770") && IsWindowVisible(w) &&
        GetDlgItem(w, IDC_PROGRESS_BAR) != nullptr) {
        *reinterpret_cast<HWND*>(context) = w;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

progress_watch::progress_watch(const plan& p, std::function<long()> frames_served,
                               std::function<DWORD()> started_at)
    : plan_(p), frames_served_(std::move(frames_served)), started_at_(std::move(started_at)),
      created_at_(GetTickCount())
{
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

progress_watch::~progress_watch()
{
    finish();
    if (stop_ != nullptr)
        CloseHandle(stop_);
}

HWND progress_watch::find()
{
    HWND found = nullptr;
    EnumWindows(visit, reinterpret_cast<LPARAM>(&found));
    return found;
}

progress_watch::texts progress_watch::read(HWND window)
{
    return {control_text(window, IDC_PROGRESS_FRAMES), control_text(window, IDC_PROGRESS_TIME),
            control_text(window, IDC_PROGRESS_WAITING)};
}

void progress_watch::finish()
{
    if (finished_)
        return;
    finished_ = true;
    const DWORD returned_at = GetTickCount();
    // The window and the host's window as the module left them, before anything else runs here.
    const bool still_there = window_ != nullptr && IsWindow(window_);
    const HWND host = plan_.host_window;
    const bool host_enabled = host != nullptr && IsWindowEnabled(host);
    const bool host_active = host != nullptr && GetActiveWindow() == host;
    if (thread_ != nullptr) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (!appeared_) {
        say("never appeared");
    } else {
        if (!gone_) {
            // It went between two looks, just before the export returned.
            print_texts(last_);
            say("gone " + since(returned_at));
        }
        std::string line =
            still_there ? "still there when the export returned" : "gone when the export returned";
        if (host != nullptr)
            line += std::string("; the host's window ") + (host_enabled ? "enabled" : "disabled") +
                    (host_active ? " and active" : " and not active");
        // Windows gives the activation back to the owner only when the window had it: one that
        // another program's window had come in front of leaves the host inactive, rightly.
        say(in_front_ ? "it was in front at the last look" : "another window was in front at the last look");
        say(line);
        if (host != nullptr)
            say(owner_enabled_seen_ == 0
                    ? "the host's window was disabled the whole time it was up"
                    : "the host's window was enabled at " + std::to_string(owner_enabled_seen_) +
                          " looks while it was up");
    }
    if (pressed_at_ != 0) {
        char line[96];
        std::snprintf(line, sizeof line, "the export returned %.2f s after %s",
                      (returned_at - pressed_at_) / 1000.0, plan_.escape ? "Escape" : "Cancel");
        say(line);
    }
}

DWORD WINAPI progress_watch::run(void* self)
{
    static_cast<progress_watch*>(self)->watch();
    return 0;
}

void progress_watch::watch()
{
    int next_quarter = 1;
    while (WaitForSingleObject(stop_, poll_ms) == WAIT_TIMEOUT) {
        if (!appeared_) {
            window_ = find();
            if (window_ == nullptr)
                continue;
            appeared_ = true;
            char line[160];
            std::snprintf(line, sizeof line, "appeared %s, %ld frames served", since(GetTickCount()).c_str(),
                          frames_served_());
            std::string owner;
            const HWND host = plan_.host_window;
            if (host != nullptr)
                owner = GetWindow(window_, GW_OWNER) != host ? "; not owned by the host's window"
                        : IsWindowEnabled(host) ? "; owned by the host's window, which is enabled"
                                                : "; owned by the host's window, which is disabled";
            say(line + owner);
            last_ = read(window_);
            print_texts(last_);
            continue;
        }
        if (gone_)
            continue;
        if (!IsWindow(window_) || !IsWindowVisible(window_)) {
            gone_ = true;
            print_texts(last_);
            say("gone " + since(GetTickCount()));
            continue;
        }
        // Two looks in a row, so that the instant in which a closing message box enables its
        // owner, just before the module disables it again, does not count.
        const bool enabled = plan_.host_window != nullptr && IsWindowEnabled(plan_.host_window);
        if (enabled && owner_was_enabled_)
            ++owner_enabled_seen_;
        owner_was_enabled_ = enabled;
        const texts now = read(window_);
        // Its first two lines always say something: an empty one was read while the window
        // was being destroyed (its controls go first).
        if (!IsWindow(window_) || now.frames.empty() || now.time.empty())
            continue;
        const long served = frames_served_();
        const bool quarter =
            plan_.frames > 0 && next_quarter < 4 && served >= next_quarter * plan_.frames / 4;
        if (quarter)
            ++next_quarter;
        if (quarter || (last_.waiting.empty() && !now.waiting.empty()))
            print_texts(now);
        last_ = now;
        in_front_ = GetForegroundWindow() == window_;
        if (pressed_at_ == 0 && plan_.press_after >= 0 && served >= plan_.press_after)
            press(window_);
    }
}

void progress_watch::press(HWND window)
{
    if (plan_.escape) {
        // Keys go to the control that has the focus, as the keyboard sends them.
        GUITHREADINFO gui{};
        gui.cbSize = sizeof gui;
        HWND target = window;
        if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui) && gui.hwndFocus != nullptr &&
            (gui.hwndFocus == window || IsChild(window, gui.hwndFocus)))
            target = gui.hwndFocus;
        PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else {
        PostMessageA(GetDlgItem(window, IDC_CANCEL), BM_CLICK, 0, 0);
    }
    pressed_at_ = GetTickCount();
    say(std::string(plan_.escape ? "Escape" : "Cancel") + " pressed at " + std::to_string(frames_served_()) +
        " frames, " + since(pressed_at_));
}

void progress_watch::print_texts(const texts& t)
{
    say("\"" + t.frames + "\" \"" + t.time + "\" \"" + t.waiting + "\"");
}

std::string progress_watch::since(DWORD tick) const
{
    const DWORD started = started_at_();
    char text[48];
    std::snprintf(text, sizeof text, "%.2f s after %s",
                  (tick - (started != 0 ? started : created_at_)) / 1000.0,
                  started != 0 ? "Start" : "the export began");
    return text;
}

void progress_watch::say(const std::string& line)
{
    std::printf("progress window: %s\n", line.c_str());
    std::fflush(stdout);
}
