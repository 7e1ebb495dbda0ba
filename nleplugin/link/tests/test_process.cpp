#include "test_process.h"

#include "box_answerer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

test_process::test_process(test_process&& other) noexcept : info_(other.info_)
{
    other.info_ = {};
}

test_process& test_process::operator=(test_process&& other) noexcept
{
    if (this != &other) {
        kill();
        info_ = other.info_;
        other.info_ = {};
    }
    return *this;
}

test_process::~test_process()
{
    kill();
}

bool test_process::start(const std::string& program, const std::string& args, const std::string& output)
{
    kill();
    std::string command = "\"" + program + "\"";
    if (!args.empty())
        command += " " + args;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file;
        startup.hStdError = file;
    }
    const bool started =
        CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, file != INVALID_HANDLE_VALUE, 0,
                       nullptr, nullptr, &startup, &info_) != FALSE;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return started;
}

bool test_process::start_role(const std::string& role, const std::string& args)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    return start(self, "--child " + role + (args.empty() ? "" : " " + args));
}

DWORD test_process::wait_exit(DWORD timeout_ms)
{
    if (info_.hProcess == nullptr)
        return STILL_ACTIVE;
    if (WaitForSingleObject(info_.hProcess, timeout_ms) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

void test_process::kill()
{
    if (info_.hProcess != nullptr) {
        if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
    info_ = {};
}

std::string bin_dir()
{
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::string unique_name(const std::string& tag)
{
    static std::atomic<int> counter{0};
    // Wine hands out the same small process ids run after run; the clock tells runs apart.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return "hx_test_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(now.QuadPart % 1000000007) + "_" + std::to_string(++counter) + "_" + tag;
}

std::string temp_file(const std::string& tag)
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + unique_name(tag);
    DeleteFileA(path.c_str());
    return path;
}

folder_of_length::folder_of_length(size_t length, const std::string& tag)
{
    std::string folder = temp_file(tag);
    EXPECT_LT(folder.size(), length) << "the temporary folder is too long";
    while (folder.size() <= length) {
        if (!CreateDirectoryA(folder.c_str(), nullptr)) {
            ADD_FAILURE() << "cannot make a folder of " << folder.size() << " characters: " << GetLastError();
            return;
        }
        made_.push_back(folder);
        if (folder.size() == length)
            return;
        // Never a gap of one character, which a backslash alone would fill.
        const size_t left = length - folder.size();
        const size_t name = left - 1 <= 200 ? left - 1 : std::min<size_t>(150, left - 3);
        folder += "\\" + std::string(name, static_cast<char>('a' + made_.size() % 26));
    }
}

folder_of_length::~folder_of_length()
{
    if (made_.empty())
        return;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((made_.back() + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            DeleteFileA((made_.back() + "\\" + found.cFileName).c_str());
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    for (auto at = made_.rbegin(); at != made_.rend(); ++at)
        RemoveDirectoryA(at->c_str());
}

std::string read_file(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

std::map<std::string, child_role>& child_roles()
{
    static std::map<std::string, child_role> roles;
    return roles;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--child") {
        const auto role = child_roles().find(argv[2]);
        if (role == child_roles().end())
            return 98;
        return role->second(std::vector<std::string>(argv + 3, argv + argc));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

message_box_watch::message_box_watch(const std::string& caption, DWORD timeout_ms,
                                     std::function<bool(HWND)> accept)
    : caption_(caption), timeout_ms_(timeout_ms), accept_(std::move(accept))
{
    thread_ = CreateThread(nullptr, 0, watch, this, 0, nullptr);
}

message_box_watch::~message_box_watch()
{
    result();
}

const message_box_watch::seen& message_box_watch::result()
{
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return seen_;
}

DWORD WINAPI message_box_watch::watch(void* self)
{
    auto* me = static_cast<message_box_watch*>(self);
    HWND box = nullptr;
    const char* caption = me->caption_.c_str();
    wait_until(
        [&] {
            box = nullptr;
            for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", caption); w != nullptr && box == nullptr;
                 w = FindWindowExA(nullptr, w, "#32770", caption))
                // Only a box that is up: one still being made has no controls yet.
                if (IsWindowVisible(w) && (!me->accept_ || me->accept_(w)))
                    box = w;
            return box != nullptr;
        },
        me->timeout_ms_);
    if (box == nullptr)
        return 0;
    me->seen_.found = true;
    const seen_box shown = box_answerer::describe(box);
    me->seen_.text = shown.text;
    me->seen_.owner = shown.owner;
    me->seen_.error_icon = shown.icon == "error";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

bool wait_pumping(HANDLE object, DWORD timeout_ms)
{
    return wait_until([&] { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }, timeout_ms);
}

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        // Windows of this thread (a host window owning a dialog, say) keep answering.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}
