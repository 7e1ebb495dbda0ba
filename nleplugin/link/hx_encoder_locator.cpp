#include "hx_encoder_locator.h"

#include "hx_quicktime.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>

const hx_encoder_profile hx_quicktime_profile = {
    0x577,
    {"LatestPro", "LatestEZ"},
    false,
    " qtexp  -noprocess ",
    "Tessora Export Component",
    nullptr,
    "Cannot find Tessora or Tessora EZ on your system",
    false,
};

const hx_encoder_profile hx_premiere_profile = {
    0x576,
    {"LatestEZ", nullptr},
    true,
    "nle  -noprocess",
    "Save for Web",
    "Adobe Premiere",
    "Cannot find Tessora EZ on your system in this folder : ",
    true,
};

namespace {

constexpr REGSAM install_key_access = KEY_QUERY_VALUE | KEY_SET_VALUE;
// Only values are read: a key that refuses writing is still good enough.
constexpr REGSAM install_key_read_access = KEY_QUERY_VALUE;
constexpr UINT subkey_size = 40;
constexpr UINT version_key_size = 240;
constexpr UINT program_path_size = 260;
constexpr char missing_quicktime[] =
    "Tessora requires QuickTime 4 or newer to continue.\nPlease install QuickTime and try again.";
constexpr char missing_program[] = "Cannot find Tessora or Tessora EZ in this folder : ";
constexpr char start_refused[] = "Cannot start Tessora or Tessora EZ in this folder : ";

class registry_key {
public:
    registry_key(const char* path)
    {
        LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, install_key_access, &key_);
        if (result == ERROR_ACCESS_DENIED)
            result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, install_key_read_access, &key_);
        if (result != ERROR_SUCCESS)
            key_ = nullptr;
    }
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;
    ~registry_key()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    bool is_open() const { return key_ != nullptr; }

    // The value as a string, whatever its registry type; false if it does not fit `size`
    // bytes with its terminator.
    bool read(const char* name, char* out, DWORD size) const
    {
        DWORD bytes = size;
        if (RegQueryValueExA(key_, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &bytes) !=
            ERROR_SUCCESS)
            return false;
        if (bytes < size) {
            out[bytes] = 0;
            return true;
        }
        // Exactly full: only acceptable when the terminator is already there.
        return out[size - 1] == 0;
    }

private:
    HKEY key_ = nullptr;
};

int show_message(const hx_encoder_profile& profile, const char* text, UINT style)
{
    const HWND owner = profile.owner_title != nullptr ? FindWindowA(nullptr, profile.owner_title) : nullptr;
    return MessageBoxA(owner, text, profile.caption, style);
}

void show_error(const hx_encoder_profile& profile, const char* text)
{
    show_message(profile, text, MB_ICONERROR | MB_OK);
}

void show_error(const hx_encoder_profile& profile, const char* text, const char* folder)
{
    char message[sizeof missing_program + hx_install_folder_size + 64];
    std::snprintf(message, sizeof message, "%s%s", text, folder);
    show_error(profile, message);
}

// The settings key's REG_DWORD `name` under `root`; false when absent or of another kind.
bool read_setting(HKEY root, const char* name, DWORD* value)
{
    HKEY key;
    if (RegOpenKeyExA(root, hx_settings_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD bytes = sizeof *value;
    const bool read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) ==
                          ERROR_SUCCESS &&
                      type == REG_DWORD && bytes == sizeof *value;
    RegCloseKey(key);
    return read;
}

// Whether `path` names a file, found where OpenFile with OF_EXIST would look for it (a bare
// name in the program's folder, the current folder, the system folders and PATH; any other path
// as it stands). OpenFile keeps what it found in a record of 128 bytes and fails for every longer
// path, though the program path may hold up to 259 characters.
bool program_exists(const char* path)
{
    char found[MAX_PATH];
    const DWORD n = SearchPathA(nullptr, path, nullptr, sizeof found, found, nullptr);
    if (n == 0 || n >= sizeof found)
        return false;
    const DWORD attributes = GetFileAttributesA(found);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool quicktime_4_present()
{
    long version = 0;
    return Gestalt(hx_fourcc("qtim"), &version) == 0 && version >= 0x04000000;
}

}  // namespace

int32_t read_install_info(const char* edition, char (&install_folder)[hx_install_folder_size],
                          char (&executable)[hx_executable_size])
{
    install_folder[0] = 0;
    executable[0] = 0;

    char subkey[subkey_size] = "";
    {
        const registry_key base(hx_encoder_key);
        // Without the key there is no edition: the caller's "not on your system" path.
        if (!base.is_open() || !base.read(edition, subkey, sizeof subkey))
            return -1;
    }
    char version_key[version_key_size];
    std::snprintf(version_key, sizeof version_key, "%s%s", hx_encoder_key, subkey);
    {
        const registry_key version(version_key);
        if (version.is_open() && !version.read("InstallDir", install_folder, sizeof install_folder)) {
            install_folder[0] = 0;
            return -1;
        }
    }
    const registry_key version(version_key);
    if (!version.is_open())
        return 0;
    if (!version.read("Executable", executable, sizeof executable)) {
        executable[0] = 0;
        return -1;
    }
    return 0;
}

void append_backslash(char* folder, size_t capacity)
{
    const size_t n = std::strlen(folder);
    if (n > 0 && folder[n - 1] != '\\' && n + 1 < capacity) {
        folder[n] = '\\';
        folder[n + 1] = 0;
    }
}

bool hx_wake_encoder(const hx_encoder_profile& profile, hx_handle* process)
{
    const HWND window = FindWindowA(hx_encoder_window_class, nullptr);
    if (window == nullptr)
        return false;
    if (process != nullptr) {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        // A wait needs nothing more, and XP refuses the rights that came later.
        process->reset(OpenProcess(SYNCHRONIZE, FALSE, id));
    }
    PostMessageA(window, profile.wake_message, 0, 0);
    return true;
}

bool hx_launch_encoder(const hx_encoder_profile& profile, hx_handle* process)
{
    if (profile.needs_quicktime_4 && !quicktime_4_present()) {
        show_error(profile, missing_quicktime);
        return false;
    }

    char folder[hx_install_folder_size];
    char executable[hx_executable_size];
    bool found = false;
    for (const char* edition : profile.editions) {
        if (edition != nullptr && read_install_info(edition, folder, executable) == 0) {
            found = true;
            break;
        }
    }
    if (!found) {
        if (profile.not_registered_adds_folder)
            show_error(profile, profile.not_registered, folder);
        else
            show_error(profile, profile.not_registered);
        return false;
    }

    char path[program_path_size + 1];
    std::snprintf(path, sizeof path, "%s", folder);
    append_backslash(path, sizeof path);
    const size_t used = std::strlen(path);
    const int written = std::snprintf(path + used, sizeof path - used, "%s", executable);
    // A path longer than the program path allows cannot name the program.
    if (written < 0 || used + static_cast<size_t>(written) >= program_path_size || !program_exists(path)) {
        show_error(profile, missing_program, folder);
        return false;
    }

    SHELLEXECUTEINFOA start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    start.lpVerb = "open";
    start.lpFile = path;
    start.lpParameters = profile.start_arguments;
    start.lpDirectory = "";
    start.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&start) || start.hProcess == nullptr) {
        show_error(profile, start_refused, folder);
        return false;
    }
    if (process != nullptr)
        process->reset(start.hProcess);
    else
        CloseHandle(start.hProcess);
    return true;
}

bool find_or_launch_encoder(hx_handle* process)
{
    return hx_wake_encoder(hx_quicktime_profile, process) || hx_launch_encoder(hx_quicktime_profile, process);
}

DWORD hx_encoder_wait_limit()
{
    DWORD seconds = 0;
    if (!read_setting(HKEY_CURRENT_USER, hx_wait_value, &seconds) &&
        !read_setting(HKEY_LOCAL_MACHINE, hx_wait_value, &seconds))
        seconds = hx_default_wait_seconds;
    if (seconds == 0)
        return INFINITE;
    // The longest wait the system can time, just short of INFINITE (about 49 days).
    constexpr DWORD longest = (INFINITE - 1) / 1000;
    return (seconds < longest ? seconds : longest) * 1000;
}

bool hx_keep_waiting(const hx_encoder_profile& profile, DWORD limit_ms)
{
    const unsigned long seconds = limit_ms / 1000;
    char text[160];
    std::snprintf(
        text, sizeof text,
        "Tessora has not answered for %lu second%s.\nRetry to wait again, or Cancel to stop the export.",
        seconds, seconds == 1 ? "" : "s");
    return show_message(profile, text, MB_ICONWARNING | MB_RETRYCANCEL) == IDRETRY;
}
