#include "hx_quicktime.h"

namespace {

constexpr char runtime_name[] = "QuickTime.qts";

// Any arguments, the routine's 16-bit error result: QuickTime is not there.
long __cdecl unbound()
{
    return hx_qtml_uninitialized;
}

HMODULE runtime = nullptr;

}  // namespace

extern "C" {

hx_qt_dispatch_table hx_qt_table = {hx_qt_bind, unbound, unbound, unbound};

void __cdecl hx_qt_bind()
{
    bool host_loaded = false;
    if (runtime == nullptr) {
        if (HMODULE loaded = GetModuleHandleA(runtime_name)) {
            // The host has it already: take our own reference to the same file.
            char path[MAX_PATH];
            const DWORD n = GetModuleFileNameA(loaded, path, MAX_PATH);
            if (n == 0 || n >= MAX_PATH)
                return;
            runtime = LoadLibraryA(path);
            host_loaded = true;
        } else {
            char path[MAX_PATH];
            const UINT n = GetSystemDirectoryA(path, MAX_PATH);
            if (n == 0 || n + 1 + sizeof runtime_name > MAX_PATH)
                return;
            lstrcatA(path, "\\");
            lstrcatA(path, runtime_name);
            runtime = LoadLibraryA(path);
        }
        if (runtime == nullptr)
            return;
    }

    struct lookup {
        const char* name;
        hx_qt_routine* entry;
    };
    const lookup order[] = {
        {"_CallComponentFunctionWithStorage", &hx_qt_table.call_component_with_storage},
        {"_CallComponent", &hx_qt_table.call_component},
        {"theQuickTimeDispatcher", &hx_qt_table.dispatcher},
    };
    bool all = true;
    for (const lookup& item : order) {
        const FARPROC found = GetProcAddress(runtime, item.name);
        if (found == nullptr) {
            all = false;
            break;
        }
        *item.entry = reinterpret_cast<hx_qt_routine>(found);
    }
    if (all)
        hx_qt_table.bind_hook = nullptr;

    if (host_loaded) {
        // The host keeps the runtime loaded; we hold no reference of our own.
        FreeLibrary(runtime);
        runtime = nullptr;
    }
}

}  // extern "C"

bool hx_qt_is_bound()
{
    return hx_qt_table.bind_hook == nullptr;
}

void hx_qt_unbind()
{
    hx_qt_table = {hx_qt_bind, unbound, unbound, unbound};
    if (runtime != nullptr) {
        FreeLibrary(runtime);
        runtime = nullptr;
    }
}
