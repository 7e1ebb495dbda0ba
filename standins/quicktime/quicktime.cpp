// Stand-in for the QuickTime runtime, "QuickTime.qts": the three entry points a client binds
// and, under QuickTime's own selectors, the routines this project's plug-ins call.
//
// Gestalt('qtim') answers the version in the environment variable HX_QT_VERSION (hex or
// decimal) or 0x07608000. A selector that is not served is reported on the debug output and
// answered with badComponentSelector.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

typedef long (*routine)(const uint32_t* args);

constexpr long no_err = 0;
constexpr long gestalt_undefined_selector = -5551;
constexpr long bad_component_selector = static_cast<long>(0x80008002u);
constexpr uint32_t qtim = 0x7174696D;  // 'qtim'

long gestalt(const uint32_t* args)
{
    const uint32_t selector = args[0];
    long* const response = reinterpret_cast<long*>(static_cast<uintptr_t>(args[1]));
    if (selector != qtim)
        return gestalt_undefined_selector;
    long version = 0x07608000;
    char text[32];
    if (GetEnvironmentVariableA("HX_QT_VERSION", text, sizeof text) - 1u < sizeof text - 1)
        version = static_cast<long>(std::strtoul(text, nullptr, 0));
    if (response != nullptr)
        *response = version;
    return no_err;
}

struct entry {
    uint32_t selector;
    routine run;
};

const entry routines[] = {
    {0x110001, gestalt},
};

}  // namespace

extern "C" long __cdecl qt_dispatch(uint32_t selector, const uint32_t* args)
{
    for (const entry& e : routines)
        if (e.selector == selector)
            return e.run(args);
    char message[96];
    std::snprintf(message, sizeof message, "QuickTime stand-in: selector 0x%08lx is not served\n",
                  static_cast<unsigned long>(selector));
    OutputDebugStringA(message);
    std::fputs(message, stderr);
    return bad_component_selector;
}

extern "C" long __cdecl qt_call_component()
{
    return bad_component_selector;
}

extern "C" long __cdecl qt_call_component_function_with_storage()
{
    return bad_component_selector;
}
