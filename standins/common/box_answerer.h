// Answers the message boxes of this process as a user at the screen would, from a thread of its
// own, so that a host stand-in never hangs on a box that nobody is there to see. A box is a
// dialog of class "#32770" made only of static texts and buttons, with its text in the static
// control 0xFFFF, as MessageBoxA makes it (a plug-in's own dialog, with a combo box, is not one).
// A box with OK only is answered OK; one that offers a choice gets the next answer of the plan,
// and Cancel once the plan has none left. Each box's caption, text, owner, buttons and icon are
// kept, and printed when asked:
//
//   message box "Save for Web": Cannot find Tessora EZ on your system in this folder :
//   message box answered: OK
#pragma once

#include "command_line.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct seen_box {
    std::string caption;
    std::string text;
    HWND owner = nullptr;
    std::vector<int> buttons;  // the buttons' identifiers (IDOK, IDRETRY, ...) in that order
    std::string icon;          // "error", "warning", "question", "information", or "" for none
    int answer = 0;            // the button pressed; 0 when the box was left to the user
    DWORD answered_at = 0;     // GetTickCount() when it was pressed
};

class box_answerer {
public:
    struct plan {
        std::vector<int> choices;  // for boxes that offer a choice, in turn
        bool answer = true;        // false: watch and print only, the user answers
        bool print = false;        // print each box and its answer on standard output
        DWORD delay_ms = 0;        // how long a box stays up before it is answered
    };

    explicit box_answerer(const plan& p) : plan_(p)
    {
        InitializeCriticalSection(&lock_);
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~box_answerer()
    {
        SetEvent(stop_);
        if (thread_ != nullptr) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        CloseHandle(stop_);
        DeleteCriticalSection(&lock_);
    }
    box_answerer(const box_answerer&) = delete;
    box_answerer& operator=(const box_answerer&) = delete;

    // The boxes seen so far, in order.
    std::vector<seen_box> seen()
    {
        EnterCriticalSection(&lock_);
        std::vector<seen_box> copy = seen_;
        LeaveCriticalSection(&lock_);
        return copy;
    }

    // A host program's plan: every box printed, and answered from `answers` (--answer-box) unless
    // the person at the display answers (--attended).
    static plan for_program(const std::vector<int>& answers, bool attended)
    {
        plan p;
        p.choices = answers;
        p.answer = !attended;
        p.print = true;
        return p;
    }

    // Reads the value of a program's --answer-box; a word that names no button fails `args`.
    static void read_answers(command_line& args, std::vector<int>* answers)
    {
        std::string list;
        if (args.text(&list) && !parse_answers(list, answers))
            args.fail("--answer-box: '" + list + "' is not a list of retry, cancel, ok, yes, no ...");
    }

    // "retry,cancel" to button identifiers; false for a word that names no button.
    static bool parse_answers(const std::string& list, std::vector<int>* ids)
    {
        ids->clear();
        size_t at = 0;
        while (at <= list.size()) {
            const size_t end = std::min(list.find(',', at), list.size());
            const int id = button_id(list.substr(at, end - at));
            if (id == 0)
                return false;
            ids->push_back(id);
            at = end + 1;
        }
        return true;
    }

    static const char* button_name(int id)
    {
        for (const button& b : buttons())
            if (b.id == id)
                return b.name;
        return "?";
    }

    // What a message box shows: caption, text, owner, buttons and icon (answer not yet set).
    static seen_box describe(HWND box)
    {
        seen_box b;
        char text[1024] = "";
        GetWindowTextA(box, text, sizeof text);
        b.caption = text;
        text[0] = 0;
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        b.text = text;
        b.owner = GetWindow(box, GW_OWNER);
        for (const button& candidate : buttons())
            if (GetDlgItem(box, candidate.id) != nullptr)
                b.buttons.push_back(candidate.id);
        const struct {
            LPCSTR id;
            const char* name;
        } icons[] = {{IDI_ERROR, "error"},
                     {IDI_WARNING, "warning"},
                     {IDI_QUESTION, "question"},
                     {IDI_INFORMATION, "information"}};
        for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            const HICON shown = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
            for (const auto& icon : icons)
                if (shown != nullptr && shown == LoadIconA(nullptr, icon.id))
                    b.icon = icon.name;
        }
        return b;
    }

private:
    struct button {
        int id;
        const char* name;
        const char* word;
    };
    static const std::vector<button>& buttons()
    {
        static const std::vector<button> all = {
            {IDOK, "OK", "ok"},
            {IDCANCEL, "Cancel", "cancel"},
            {IDABORT, "Abort", "abort"},
            {IDRETRY, "Retry", "retry"},
            {IDIGNORE, "Ignore", "ignore"},
            {IDYES, "Yes", "yes"},
            {IDNO, "No", "no"},
            {IDTRYAGAIN, "Try Again", "tryagain"},
            {IDCONTINUE, "Continue", "continue"},
        };
        return all;
    }
    static int button_id(const std::string& word)
    {
        for (const button& b : buttons())
            if (word == b.word)
                return b.id;
        return 0;
    }

    static bool class_is(HWND w, const char* name)
    {
        char text[32] = "";
        GetClassNameA(w, text, sizeof text);
        return lstrcmpiA(text, name) == 0;
    }

    static bool is_message_box(HWND w)
    {
        if (!class_is(w, "#32770") || !IsWindowVisible(w))
            return false;
        bool has_text = false, has_button = false;
        for (HWND child = GetWindow(w, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            if (class_is(child, "Button"))
                has_button = true;
            else if (!class_is(child, "Static"))
                return false;
            else if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF)
                has_text = true;
        }
        return has_text && has_button;
    }

    struct search {
        DWORD process;
        HWND found;
    };
    static BOOL CALLBACK visit(HWND w, LPARAM context)
    {
        auto* s = reinterpret_cast<search*>(context);
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        if (process == s->process && is_message_box(w)) {
            s->found = w;
            return FALSE;
        }
        return TRUE;
    }

    int choose(const seen_box& b)
    {
        const auto offers = [&](int id) {
            for (int present : b.buttons)
                if (present == id)
                    return true;
            return false;
        };
        if (b.buttons.size() == 1)
            return b.buttons[0];
        if (next_choice_ < plan_.choices.size()) {
            const int wanted = plan_.choices[next_choice_++];
            if (offers(wanted))
                return wanted;
        }
        return offers(IDCANCEL) ? IDCANCEL : b.buttons.empty() ? IDOK : b.buttons[0];
    }

    void print(const std::string& line)
    {
        if (!plan_.print)
            return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    // Keeps watching until stopped; one box at a time, each until it has gone.
    static DWORD WINAPI run(void* self)
    {
        auto* me = static_cast<box_answerer*>(self);
        while (WaitForSingleObject(me->stop_, 20) == WAIT_TIMEOUT) {
            search s{GetCurrentProcessId(), nullptr};
            EnumWindows(visit, reinterpret_cast<LPARAM>(&s));
            if (s.found == nullptr)
                continue;
            seen_box b = describe(s.found);
            std::string shown = b.text;
            for (char& c : shown)
                if (c == '\n' || c == '\r')
                    c = ' ';
            me->print("message box \"" + b.caption + "\": " + shown);
            if (me->plan_.answer) {
                if (WaitForSingleObject(me->stop_, me->plan_.delay_ms) != WAIT_TIMEOUT)
                    break;
                b.answer = me->choose(b);
                PostMessageA(s.found, WM_COMMAND, static_cast<WPARAM>(b.answer), 0);
                b.answered_at = GetTickCount();
                me->print(std::string("message box answered: ") + button_name(b.answer));
            }
            EnterCriticalSection(&me->lock_);
            me->seen_.push_back(b);
            LeaveCriticalSection(&me->lock_);
            while (IsWindow(s.found) && IsWindowVisible(s.found) &&
                   WaitForSingleObject(me->stop_, 20) == WAIT_TIMEOUT) {
            }
        }
        return 0;
    }

    plan plan_;
    size_t next_choice_ = 0;
    CRITICAL_SECTION lock_;
    std::vector<seen_box> seen_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};
