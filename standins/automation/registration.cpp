// Self-registration (regsvr32): the class under its identifier as an in-process server of the
// apartment model, and the ProgID that leads to it.
#include "standin_module.h"

#include <olectl.h>

#include <string>

namespace {

constexpr char clsid_key[] = "CLSID\\{50D994EE-8834-11D3-8BBE-0000E85F332D}";
constexpr char clsid_text[] = "{50D994EE-8834-11D3-8BBE-0000E85F332D}";
constexpr char progid[] = "TessoraLib.Tessora";
constexpr char description[] = "Tessora automation stand-in";

class registry_key {
public:
    registry_key() = default;
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;
    ~registry_key()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Sets a string value (`name` null for the key's default value) under HKEY_CLASSES_ROOT\path.
bool set_string(const std::string& path, const char* name, const std::string& value)
{
    registry_key key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

}  // namespace

STDAPI DllRegisterServer()
{
    try {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(standin::module_handle(), path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return SELFREG_E_CLASS;
        const std::string key = clsid_key;
        const bool done = set_string(key, nullptr, description) &&
                          set_string(key + "\\InprocServer32", nullptr, std::string(path, length)) &&
                          set_string(key + "\\InprocServer32", "ThreadingModel", "Apartment") &&
                          set_string(key + "\\ProgID", nullptr, progid) &&
                          set_string(progid, nullptr, description) &&
                          set_string(std::string(progid) + "\\CLSID", nullptr, clsid_text);
        return done ? S_OK : SELFREG_E_CLASS;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer()
{
    const LSTATUS clsid = RegDeleteTreeA(HKEY_CLASSES_ROOT, clsid_key);
    const LSTATUS name = RegDeleteTreeA(HKEY_CLASSES_ROOT, progid);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, clsid_key);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, progid);
    const auto gone = [](LSTATUS status) {
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    };
    return gone(clsid) && gone(name) ? S_OK : SELFREG_E_CLASS;
}
