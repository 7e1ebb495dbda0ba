#include "kestrix_driver.h"

#include "resource.h"

#include <cstdio>
#include <sstream>

namespace {

struct window_search {
    DWORD process;
    const char* window_class;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<window_search*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    if (process == search->process && IsWindowVisible(window) && lstrcmpA(name, search->window_class) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of `process` with the class `window_class`, or null.
HWND find_window_of(DWORD process, const char* window_class)
{
    window_search search{process, window_class, nullptr};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string window_text(HWND window)
{
    char text[4096] = "";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                             kestrix_timeout_ms, &copied))
        return "<no answer>";
    return std::string(text, copied);
}

bool shows_icon(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        DWORD_PTR icon = 0;
        if (SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_NORMAL, kestrix_timeout_ms, &icon) &&
            icon != 0 && IsWindowVisible(child))
            return true;
    }
    return false;
}

bool is_method_call(const std::string& line)
{
    static const char* const methods[] = {
        "SetDestination",  "SetSettingAlts", "SelectAllItems", "StartEncoding",
        "SuspendEncoding", "SetSetting",     "SetXMLSetting",  "SetItemDestination",
        "AddItem",         "ClearItems",     "IsReady",        "ExitEncoder",
    };
    const size_t space = line.find(' ');
    if (line.empty() || line[0] != '#' || space == std::string::npos)
        return false;
    for (const char* method : methods) {
        const std::string name = method;
        if (line.compare(space + 1, name.size(), name) == 0 && line.size() > space + 1 + name.size() &&
            (line[space + 1 + name.size()] == '(' || line[space + 1 + name.size()] == ' '))
            return true;
    }
    return false;
}

int display_resolution(int index)
{
    const HDC screen = GetDC(nullptr);
    const int resolution = GetDeviceCaps(screen, index);
    ReleaseDC(nullptr, screen);
    return resolution;
}

}  // namespace

bool register_automation_standin()
{
    const HMODULE library = LoadLibraryA((bin_dir() + "tessora_automation.dll").c_str());
    if (library == nullptr)
        return false;
    using entry = HRESULT(STDAPICALLTYPE*)();
    const auto do_register = reinterpret_cast<entry>(GetProcAddress(library, "DllRegisterServer"));
    const bool registered = do_register != nullptr && do_register() == S_OK;
    FreeLibrary(library);
    return registered;
}

int twips_across(int twips)
{
    return MulDiv(twips, display_resolution(LOGPIXELSX), 1440);
}

int twips_down(int twips)
{
    return MulDiv(twips, display_resolution(LOGPIXELSY), 1440);
}

kestrix_run::kestrix_run() : log_path_(temp_file("kestrix.log")), control_path_(temp_file("kestrix.control"))
{
    control("");
}

kestrix_run::~kestrix_run()
{
    process_.kill();
    DeleteFileA(log_path_.c_str());
    DeleteFileA(control_path_.c_str());
}

void kestrix_run::control(const std::string& instructions)
{
    if (FILE* file = std::fopen(control_path_.c_str(), "wb")) {
        std::fwrite(instructions.data(), 1, instructions.size(), file);
        std::fclose(file);
    }
}

bool kestrix_run::start()
{
    // The stand-in, loaded into Kestrix, finds its files through Kestrix's environment.
    SetEnvironmentVariableA("TESSORA_AUTOMATION_LOG", log_path_.c_str());
    SetEnvironmentVariableA("TESSORA_AUTOMATION_CONTROL", control_path_.c_str());
    if (!process_.start(bin_dir() + "Kestrix.exe", ""))
        return false;
    wait_until([&] { return (form_ = find_window_of(process_.id(), "Kestrix")) != nullptr; },
               kestrix_timeout_ms);
    return form_ != nullptr;
}

HWND kestrix_run::window(int id) const
{
    if (id == IDC_StartLocal)
        return GetDlgItem(GetDlgItem(form_, IDC_Frame1), id);
    return GetDlgItem(form_, id);
}

bool kestrix_run::type(int id, const std::string& text)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL,
                               kestrix_timeout_ms, &result) != 0 &&
           result == TRUE;
}

std::string kestrix_run::text(int id) const
{
    return window_text(window(id));
}

bool kestrix_run::click(int id)
{
    const HWND button = window(id);
    DWORD_PTR result = 0;
    return button != nullptr &&
           SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_NORMAL, kestrix_timeout_ms, &result) != 0;
}

void kestrix_run::click_later(int id)
{
    PostMessageA(window(id), BM_CLICK, 0, 0);
}

message_box_seen kestrix_run::wait_message_box(bool press_ok)
{
    message_box_seen seen;
    HWND box = nullptr;
    if (!wait_until([&] { return (box = find_window_of(process_.id(), "#32770")) != nullptr; },
                    kestrix_timeout_ms))
        return seen;
    seen.found = true;
    seen.caption = window_text(box);
    char text[2048] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    seen.text = text;
    seen.owner = GetWindow(box, GW_OWNER);
    seen.icon = shows_icon(box);
    if (press_ok) {
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        wait_until([&] { return !IsWindow(box); }, kestrix_timeout_ms);
    }
    return seen;
}

message_box_seen kestrix_run::click_into_message_box(int id)
{
    click_later(id);
    return wait_message_box();
}

std::vector<std::string> kestrix_run::log() const
{
    std::vector<std::string> lines;
    std::istringstream text(read_file(log_path_));
    std::string line;
    while (std::getline(text, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> kestrix_run::calls() const
{
    std::vector<std::string> lines;
    for (const std::string& line : log())
        if (is_method_call(line))
            lines.push_back(line);
    return lines;
}

bool kestrix_run::log_has(const std::string& line) const
{
    return log_index(line) >= 0;
}

int kestrix_run::log_index(const std::string& line) const
{
    const std::vector<std::string> lines = log();
    for (size_t k = 0; k < lines.size(); ++k)
        if (lines[k] == line)
            return static_cast<int>(k);
    return -1;
}

bool kestrix_run::running()
{
    return process_.wait_exit(0) == STILL_ACTIVE;
}

DWORD kestrix_run::close()
{
    PostMessageA(form_, WM_CLOSE, 0, 0);
    return process_.wait_exit(kestrix_timeout_ms);
}
