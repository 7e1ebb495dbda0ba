#include "qt_startup.h"

#include "qt_components.h"

#include <windows.h>

#include <string>
#include <vector>

namespace hx_qt {
namespace {

constexpr char quicktime_key[] = "SOFTWARE\\Apple Computer, Inc.\\QuickTime";

std::string with_backslash(std::string folder)
{
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    return folder;
}

// The InstallDir value, "" when QuickTime has not recorded one.
std::string quicktime_install_dir()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, quicktime_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::string();
    char value[MAX_PATH] = "";
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    const LONG read =
        RegQueryValueExA(key, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::string();
    value[size] = '\0';
    if (type == REG_EXPAND_SZ) {
        char expanded[MAX_PATH];
        const DWORD n = ExpandEnvironmentStringsA(value, expanded, MAX_PATH);
        if (n == 0 || n > MAX_PATH)
            return std::string();
        return expanded;
    }
    return value;
}

std::vector<std::string> component_folders()
{
    std::vector<std::string> folders;
    const std::string install_dir = quicktime_install_dir();
    if (!install_dir.empty())
        folders.push_back(with_backslash(install_dir) + "QTComponents\\");
    char system[MAX_PATH];
    const UINT n = GetSystemDirectoryA(system, MAX_PATH);
    if (n != 0 && n < MAX_PATH)
        folders.push_back(with_backslash(system) + "QuickTime\\");
    return folders;
}

void register_folder(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*.qtx").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // The pattern also matches longer extensions through short names; only .qtx counts.
        const size_t n = lstrlenA(found.cFileName);
        const bool qtx = n > 4 && lstrcmpiA(found.cFileName + n - 4, ".qtx") == 0;
        if (qtx && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            components::register_file((folder + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void scan()
{
    for (const std::string& folder : component_folders())
        register_folder(folder);
}

}  // namespace

void register_installed_components()
{
    // Runs once, whichever thread calls first; the others wait for it.
    static const bool done = (scan(), true);
    (void)done;
}

}  // namespace hx_qt
