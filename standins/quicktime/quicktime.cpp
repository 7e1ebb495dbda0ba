// Stand-in for the QuickTime runtime, "QuickTime.qts": the three entry points a client binds,
// the routines this project's plug-ins and hosts call under QuickTime's own selectors, and
// the extra exports of hx_qt_standin.h.
//
// At start-up (the first call into the runtime) it registers the component files of QuickTime's
// components folders, as QuickTime does (qt_startup.h).
//
// Gestalt('qtim') answers the version in the environment variable HX_QT_VERSION (hex or
// decimal) or 0x07608000. A selector that is not served is reported on the debug output and
// stderr and answered with badComponentSelector. Every call into the runtime first moves the
// unlocked handles (qt_memory.h).
#include "hx_qt_standin.h"
#include "qt_atoms.h"
#include "qt_components.h"
#include "qt_memory.h"
#include "qt_runtime.h"
#include "qt_startup.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <new>
#include <string>

namespace {

using hx_qt::routine;

constexpr long gestalt_undefined_selector = -5551;
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
    return noErr;
}

enum locking : bool {
    dispatcher_locks = true,  // the routine runs under the runtime lock
    locks_itself = false,     // it calls into a component, so it locks only its bookkeeping
};

struct entry {
    uint32_t selector;
    routine run;
    locking lock;
};

// Sorted by selector.
const entry routines[] = {
    {0x10000, hx_qt::components::CallComponent, locks_itself},
    {0x10001, hx_qt::components::RegisterComponent, locks_itself},
    {0x10003, hx_qt::components::CountComponents, locks_itself},
    {0x10004, hx_qt::components::FindNextComponent, locks_itself},
    {0x10005, hx_qt::components::GetComponentInfo, locks_itself},
    {0x10007, hx_qt::components::OpenComponent, locks_itself},
    {0x10008, hx_qt::components::CloseComponent, locks_itself},
    {0x1000c, hx_qt::components::GetComponentInstanceStorage, locks_itself},
    {0x1000d, hx_qt::components::SetComponentInstanceStorage, locks_itself},
    {0x10012, hx_qt::components::RegisterComponentResource, locks_itself},
    {0x10014, hx_qt::components::RegisterComponentResourceFile, locks_itself},
    {0x10021, hx_qt::components::OpenDefaultComponent, locks_itself},
    {0x20200, hx_qt::atoms::QTNextChildAnyType, dispatcher_locks},
    {0x2020c, hx_qt::atoms::QTNewAtomContainer, dispatcher_locks},
    {0x2020d, hx_qt::atoms::QTDisposeAtomContainer, dispatcher_locks},
    {0x2020f, hx_qt::atoms::QTCountChildrenOfType, dispatcher_locks},
    {0x20210, hx_qt::atoms::QTFindChildByIndex, dispatcher_locks},
    {0x20213, hx_qt::atoms::QTCopyAtomDataToPtr, dispatcher_locks},
    {0x20215, hx_qt::atoms::QTLockContainer, dispatcher_locks},
    {0x20217, hx_qt::atoms::QTUnlockContainer, dispatcher_locks},
    {0x20218, hx_qt::atoms::QTInsertChild, dispatcher_locks},
    {0x20232, hx_qt::atoms::QTGetAtomTypeAndID, dispatcher_locks},
    {0x110001, gestalt, dispatcher_locks},
    {0x150006, hx_qt::memory::MemError, dispatcher_locks},
    {0x150008, hx_qt::memory::NewHandle, dispatcher_locks},
    {0x15000a, hx_qt::memory::NewHandleClear, dispatcher_locks},
    {0x15000f, hx_qt::memory::NewPtr, dispatcher_locks},
    {0x150019, hx_qt::memory::HLock, dispatcher_locks},
    {0x15001a, hx_qt::memory::HUnlock, dispatcher_locks},
    {0x15002f, hx_qt::memory::DisposePtr, dispatcher_locks},
    {0x150032, hx_qt::memory::DisposeHandle, dispatcher_locks},
    {0x150033, hx_qt::memory::SetHandleSize, dispatcher_locks},
    {0x150034, hx_qt::memory::GetHandleSize, dispatcher_locks},
    {0x15003b, hx_qt::memory::HGetState, dispatcher_locks},
    {0x15003c, hx_qt::memory::HSetState, dispatcher_locks},
};

bool sorted()
{
    return std::is_sorted(std::begin(routines), std::end(routines),
                          [](const entry& a, const entry& b) { return a.selector < b.selector; });
}

const entry* find_routine(uint32_t selector)
{
    const entry* it = std::lower_bound(std::begin(routines), std::end(routines), selector,
                                       [](const entry& e, uint32_t s) { return e.selector < s; });
    return it != std::end(routines) && it->selector == selector ? it : nullptr;
}

void move_handles()
{
    hx_qt::runtime_lock lock;
    hx_qt::memory::move_unlocked();
}

// Any C++ failure inside the runtime becomes an error result, never an exception.
template <typename Body> long guarded(const char* what, long failure, Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        hx_qt::reportf("%s: out of memory", what);
        return memFullErr;
    } catch (...) {
        hx_qt::reportf("%s: internal failure", what);
        return failure;
    }
}

}  // namespace

extern "C" long __cdecl qt_dispatch(uint32_t selector, const uint32_t* args)
{
    return guarded("dispatcher", paramErr, [&]() -> long {
        hx_qt::register_installed_components();
        const entry* e = find_routine(selector);
        static const bool table_sorted = sorted();
        if (e == nullptr || !table_sorted) {
            hx_qt::reportf("selector 0x%08lx is not served", static_cast<unsigned long>(selector));
            return badComponentSelector;
        }
        if (e->lock == locks_itself) {
            move_handles();
            return e->run(args);
        }
        hx_qt::runtime_lock lock;
        hx_qt::memory::move_unlocked();
        return e->run(args);
    });
}

extern "C" long __cdecl qt_call_component(ComponentInstance instance, ComponentParameters* params)
{
    return guarded("_CallComponent", badComponentSelector, [&]() -> long {
        move_handles();
        return hx_qt::components::call(instance, params);
    });
}

extern "C" long __cdecl qt_call_component_function_with_storage(Handle storage, ComponentParameters* params,
                                                                void* function)
{
    return guarded("_CallComponentFunctionWithStorage", badComponentSelector, [&]() -> long {
        move_handles();
        return hx_qt::components::call_with_storage(storage, params, function);
    });
}

// ---- The stand-in's own exports (hx_qt_standin.h) ----------------------------------------

extern "C" long __cdecl HXQTRegisterComponentFile(const char* path)
{
    return guarded("HXQTRegisterComponentFile", 0, [&]() -> long {
        hx_qt::register_installed_components();
        return hx_qt::components::register_file(path);
    });
}

extern "C" long __cdecl HXQTComponentFile(Component component, char* path, long size)
{
    return guarded("HXQTComponentFile", 0, [&]() -> long {
        hx_qt::register_installed_components();
        const std::string file =
            hx_qt::components::file_of(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(component)));
        if (path == nullptr || size <= 0 || file.empty() || file.size() >= static_cast<size_t>(size))
            return 0;
        lstrcpynA(path, file.c_str(), static_cast<int>(size));
        return static_cast<long>(file.size());
    });
}

extern "C" const char* __cdecl HXQTLastMessage()
{
    hx_qt::runtime_lock lock;
    return hx_qt::last_message();
}

extern "C" void __cdecl HXQTSetMoveHandles(int on)
{
    hx_qt::runtime_lock lock;
    hx_qt::memory::set_moving(on != 0);
}

extern "C" void __cdecl HXQTFailAllocations(long skip, long count)
{
    hx_qt::runtime_lock lock;
    hx_qt::memory::fail_allocations(skip, count);
}

extern "C" long __cdecl HXQTLiveBlocks()
{
    hx_qt::runtime_lock lock;
    return hx_qt::memory::live_blocks();
}
