// A registry value set for a test's life: the destructor puts back what was there before (the
// old value, or none), and removes the keys it had to create, so the prefix is left as found.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class scoped_registry_value {
public:
    scoped_registry_value(HKEY root, const std::string& key, const char* name, DWORD type, const void* data,
                          DWORD bytes)
        : root_(root), key_(key), name_(name)
    {
        // The first missing key of the path is the one to remove afterwards.
        for (size_t end = 0; end != std::string::npos && created_.empty();) {
            end = key.find('\\', end + 1);
            const std::string part = key.substr(0, end);
            HKEY probe;
            if (RegOpenKeyExA(root, part.c_str(), 0, KEY_QUERY_VALUE, &probe) == ERROR_SUCCESS)
                RegCloseKey(probe);
            else
                created_ = part;
        }
        HKEY handle;
        if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr) !=
            ERROR_SUCCESS)
            return;
        DWORD size = 0;
        if (RegQueryValueExA(handle, name, nullptr, &old_type_, nullptr, &size) == ERROR_SUCCESS) {
            old_.resize(size);
            had_value_ =
                RegQueryValueExA(handle, name, nullptr, &old_type_, old_.data(), &size) == ERROR_SUCCESS;
        }
        set_ = RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
        RegCloseKey(handle);
    }
    scoped_registry_value(HKEY root, const std::string& key, const char* name, DWORD value)
        : scoped_registry_value(root, key, name, REG_DWORD, &value, sizeof value)
    {
    }
    ~scoped_registry_value()
    {
        if (!created_.empty()) {
            RegDeleteTreeA(root_, created_.c_str());
            return;
        }
        HKEY handle;
        if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS)
            return;
        if (had_value_)
            RegSetValueExA(handle, name_.c_str(), 0, old_type_, old_.data(), static_cast<DWORD>(old_.size()));
        else
            RegDeleteValueA(handle, name_.c_str());
        RegCloseKey(handle);
    }
    scoped_registry_value(const scoped_registry_value&) = delete;
    scoped_registry_value& operator=(const scoped_registry_value&) = delete;

    bool set() const { return set_; }

private:
    HKEY root_;
    std::string key_;
    std::string name_;
    std::string created_;
    bool had_value_ = false;
    DWORD old_type_ = 0;
    std::vector<BYTE> old_;
    bool set_ = false;
};

// The bridges' settings key and the value that sets how long they wait for a silent encoder.
constexpr char bridges_settings_key[] = "SOFTWARE\\Halvex\\Tessora Bridges";
constexpr char encoder_wait_value[] = "EncoderWaitSeconds";
