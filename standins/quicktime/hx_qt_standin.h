// What the runtime stand-in offers beyond QuickTime's own routines: exports that tests and the
// QuickTime host stand-in find with GetProcAddress on the loaded "QuickTime.qts". Like real
// QuickTime, the stand-in registers the component files of QuickTime's components folders when
// it starts (qt_startup.h); it also registers a component file when asked.
#pragma once

#include <windows.h>

#include "hx_qt_types.h"

extern "C" {
// Registers the component of a component file from its trailer and resource fork ('thng' 512,
// its Win32 platform entry, 'dlle' for the entry name). Returns the number of components
// registered, or 0 when the file was refused; HXQTLastMessage then says why.
typedef long(__cdecl* hx_qt_register_file_proc)(const char* path);
// The last refusal or complaint, "" if none.
typedef const char*(__cdecl* hx_qt_last_message_proc)();
// Whether every unlocked handle's block moves on every runtime and component call (on by
// default; HX_QT_MOVE_HANDLES=0 in the environment turns it off at load).
typedef void(__cdecl* hx_qt_set_move_handles_proc)(int on);
// Lets `skip` allocations succeed, then fails the next `count` (NewHandle, NewHandleClear,
// NewPtr, SetHandleSize, new atom containers); count 0 ends it.
typedef void(__cdecl* hx_qt_fail_allocations_proc)(long skip, long count);
// Handles and pointers not yet disposed of, for leak checks.
typedef long(__cdecl* hx_qt_live_blocks_proc)();
// The full path of the file a component was registered from, copied with its NUL into `path`
// (`size` bytes); its length, or 0 for a component registered in memory, an unknown one or a
// path that does not fit.
typedef long(__cdecl* hx_qt_component_file_proc)(Component component, char* path, long size);
}

// Export names.
constexpr char hx_qt_register_file_name[] = "HXQTRegisterComponentFile";
constexpr char hx_qt_last_message_name[] = "HXQTLastMessage";
constexpr char hx_qt_set_move_handles_name[] = "HXQTSetMoveHandles";
constexpr char hx_qt_fail_allocations_name[] = "HXQTFailAllocations";
constexpr char hx_qt_live_blocks_name[] = "HXQTLiveBlocks";
constexpr char hx_qt_component_file_name[] = "HXQTComponentFile";

// The stand-in's extra exports, looked up in the runtime this process has loaded.
struct hx_qt_standin {
    hx_qt_register_file_proc register_file = nullptr;
    hx_qt_last_message_proc last_message = nullptr;
    hx_qt_set_move_handles_proc set_move_handles = nullptr;
    hx_qt_fail_allocations_proc fail_allocations = nullptr;
    hx_qt_live_blocks_proc live_blocks = nullptr;
    hx_qt_component_file_proc component_file = nullptr;

    // False unless the loaded runtime is the stand-in (bind QuickTime first, e.g. with
    // hx_qt_bind()).
    bool find()
    {
        const HMODULE runtime = GetModuleHandleA("QuickTime.qts");
        if (runtime == nullptr)
            return false;
        register_file =
            reinterpret_cast<hx_qt_register_file_proc>(GetProcAddress(runtime, hx_qt_register_file_name));
        last_message =
            reinterpret_cast<hx_qt_last_message_proc>(GetProcAddress(runtime, hx_qt_last_message_name));
        set_move_handles = reinterpret_cast<hx_qt_set_move_handles_proc>(
            GetProcAddress(runtime, hx_qt_set_move_handles_name));
        fail_allocations = reinterpret_cast<hx_qt_fail_allocations_proc>(
            GetProcAddress(runtime, hx_qt_fail_allocations_name));
        live_blocks =
            reinterpret_cast<hx_qt_live_blocks_proc>(GetProcAddress(runtime, hx_qt_live_blocks_name));
        component_file =
            reinterpret_cast<hx_qt_component_file_proc>(GetProcAddress(runtime, hx_qt_component_file_name));
        return register_file && last_message && set_move_handles && fail_allocations && live_blocks &&
               component_file;
    }
};
