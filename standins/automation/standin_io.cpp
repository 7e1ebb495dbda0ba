#include "standin_io.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace standin {
namespace {

std::string environment(const char* name)
{
    char value[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0 || length >= sizeof value)
        return {};
    return std::string(value, length);
}

class file_handle {
public:
    explicit file_handle(HANDLE handle) : handle_(handle) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    ~file_handle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::string utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring from_utf8(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &out[0], size);
    return out;
}

}  // namespace

bool logging()
{
    return !environment("TESSORA_AUTOMATION_LOG").empty();
}

void log_line(const std::string& line)
{
    const std::string path = environment("TESSORA_AUTOMATION_LOG");
    if (path.empty())
        return;
    // Opened and closed for every line, so that a reader always sees whole lines.
    const file_handle file(CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string quoted(const wchar_t* text, size_t length)
{
    if (text == nullptr)
        return "null";
    std::wstring escaped = L"\"";
    for (size_t k = 0; k < length; ++k) {
        const wchar_t c = text[k];
        switch (c) {
        case L'"':
            escaped += L"\\\"";
            break;
        case L'\\':
            escaped += L"\\\\";
            break;
        case L'\n':
            escaped += L"\\n";
            break;
        case L'\r':
            escaped += L"\\r";
            break;
        case L'\t':
            escaped += L"\\t";
            break;
        default:
            if (c < 0x20) {
                wchar_t code[8];
                std::swprintf(code, 8, L"\\x%02X", static_cast<unsigned>(c));
                escaped += code;
            } else {
                escaped += c;
            }
        }
    }
    escaped += L'"';
    return utf8(escaped);
}

std::string quoted(const wchar_t* text)
{
    return quoted(text, text != nullptr ? wcslen(text) : 0);
}

std::string guid_text(REFGUID guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                  guid.Data4[7]);
    return text;
}

std::string interface_name(REFIID iid)
{
    static const struct {
        const char* name;
        const char* guid;
    } known[] = {
        {"IUnknown", "{00000000-0000-0000-C000-000000000046}"},
        {"IClassFactory", "{00000001-0000-0000-C000-000000000046}"},
        {"ISupportErrorInfo", "{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
        {"ITessora", "{50D994ED-8834-11D3-8BBE-0000E85F332D}"},
    };
    const std::string text = guid_text(iid);
    for (const auto& entry : known)
        if (text == entry.guid)
            return entry.name;
    return text;
}

std::string hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

planned_failure control_plan::failure_of(const std::string& method) const
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string verb, name, code;
        if (!(words >> verb >> name >> code) || verb != "fail" || name != method)
            continue;
        planned_failure failure;
        failure.fails = true;
        failure.code = static_cast<HRESULT>(std::strtoul(code.c_str(), nullptr, 16));
        std::string rest;
        std::getline(words, rest);
        const size_t start = rest.find_first_not_of(' ');
        if (start != std::string::npos) {
            failure.with_info = true;
            failure.description = from_utf8(rest.substr(start));
        }
        return failure;
    }
    return {};
}

DWORD control_plan::pump_of(const std::string& method) const
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string verb, name;
        unsigned long milliseconds = 0;
        if (words >> verb >> name >> milliseconds && verb == "pump" && name == method)
            return static_cast<DWORD>(milliseconds);
    }
    return 0;
}

control_plan read_control()
{
    control_plan plan;
    const std::string path = environment("TESSORA_AUTOMATION_CONTROL");
    if (path.empty())
        return plan;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[1024];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            plan.text.append(buffer, n);
        std::fclose(file);
    }
    for (char& c : plan.text)
        if (c == '\r')
            c = '\n';

    std::istringstream lines(plan.text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string verb, value;
        words >> verb >> value;
        if (verb == "ready") {
            plan.write_ready = value != "keep";
            if (!plan.write_ready)
                plan.ready = 0;
            else
                plan.ready = value.empty() ? 1 : std::strtol(value.c_str(), nullptr, 10);
        } else if (verb == "refuse" && value == "ITessora") {
            plan.refuse_tessora = true;
        } else if (verb == "nosupport") {
            plan.deny_error_info = true;
        }
    }
    return plan;
}

}  // namespace standin
