// The runtime lock and the stand-in's complaints.
#include "qt_runtime.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace hx_qt {
namespace {

struct critical_section {
    CRITICAL_SECTION section;
    critical_section() { InitializeCriticalSection(&section); }
    ~critical_section() { DeleteCriticalSection(&section); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;
};

critical_section& state_section()
{
    static critical_section section;
    return section;
}

// Guarded by the runtime lock.
char last[1024] = "";

}  // namespace

runtime_lock::runtime_lock()
{
    EnterCriticalSection(&state_section().section);
}

runtime_lock::~runtime_lock()
{
    LeaveCriticalSection(&state_section().section);
}

void report(const char* text)
{
    runtime_lock lock;
    std::snprintf(last, sizeof last, "%s", text);
    char line[sizeof last + 32];
    std::snprintf(line, sizeof line, "QuickTime stand-in: %s\n", last);
    OutputDebugStringA(line);
    std::fputs(line, stderr);
    std::fflush(stderr);
}

void reportf(const char* format, ...)
{
    char text[sizeof last];
    va_list list;
    va_start(list, format);
    std::vsnprintf(text, sizeof text, format, list);
    va_end(list);
    report(text);
}

const char* last_message()
{
    return last;
}

}  // namespace hx_qt
