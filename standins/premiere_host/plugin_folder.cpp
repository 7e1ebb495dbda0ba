#include "plugin_folder.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t code(const char (&c)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(c[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(c[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(c[2])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c[3]));
}

uint32_t read32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Owns a library loaded as data.
class data_module {
public:
    explicit data_module(const std::string& path)
        : module_(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
    {
    }
    ~data_module()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    data_module(const data_module&) = delete;
    data_module& operator=(const data_module&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

BOOL CALLBACK first_name(HMODULE, LPCSTR, LPSTR name, LONG_PTR found)
{
    LPCSTR* out = reinterpret_cast<LPCSTR*>(found);
    *out = IS_INTRESOURCE(name) ? name : nullptr;  // a named one would die with the enumeration
    return FALSE;
}

// The module's property list, empty when it has none.
std::vector<uint8_t> property_list(HMODULE module)
{
    LPCSTR name = nullptr;
    EnumResourceNamesA(module, "PIPL", first_name, reinterpret_cast<LONG_PTR>(&name));
    if (name == nullptr)
        return {};
    const HRSRC found = FindResourceA(module, name, "PIPL");
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const uint8_t* bytes = loaded != nullptr ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr)
        return {};
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(module, found));
}

// Whether the list says export module; its name then goes to `name`.
bool export_module(const std::vector<uint8_t>& pipl, std::string* name)
{
    if (pipl.size() < 10)
        return false;
    const uint32_t count = read32(&pipl[6]);
    size_t at = 10;
    bool kind = false;
    for (uint32_t i = 0; i < count && pipl.size() - at >= 16; ++i) {
        const uint32_t vendor = read32(&pipl[at]);
        const uint32_t key = read32(&pipl[at + 4]);
        const uint32_t length = read32(&pipl[at + 12]);
        at += 16;
        if (length > pipl.size() - at)
            return false;
        if (vendor == code("8BIM") && key == code("kind") && length >= 4)
            kind = read32(&pipl[at]) == code("CMPM");
        else if (vendor == code("8BIM") && key == code("name") && length >= 1 && pipl[at] < length)
            name->assign(reinterpret_cast<const char*>(&pipl[at + 1]), pipl[at]);
        at += length;
    }
    return kind;
}

}  // namespace

std::vector<plugin_module> find_export_modules(const std::string& folder)
{
    std::vector<plugin_module> modules;
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/')
        base += '\\';
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((base + "*.prm").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return modules;
    do {
        const size_t n = std::strlen(found.cFileName);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || n < 4 ||
            lstrcmpiA(found.cFileName + n - 4, ".prm") != 0)
            continue;
        plugin_module m;
        m.path = base + found.cFileName;
        const data_module module(m.path);
        if (module.get() != nullptr && export_module(property_list(module.get()), &m.name))
            modules.push_back(m);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return modules;
}
