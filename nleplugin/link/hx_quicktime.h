// Binding to the QuickTime runtime ("QuickTime.qts"), found at run time.
//
// Each QuickTime routine a plug-in uses is a forwarding entry (hx_quicktime_entries.S): it
// calls the bind hook while binding is still to be done, then puts the routine's selector
// in EAX and jumps to the runtime's dispatcher with the caller's cdecl frame untouched. The
// dispatcher returns in EAX and leaves the arguments to the caller. Until the runtime is
// bound, every entry answers qtmlUninitialized (-2095) and the next call tries again.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

typedef int16_t OSErr;
typedef uint32_t OSType;

constexpr OSErr hx_qtml_uninitialized = -2095;

// Four-character code, first character in the most significant byte.
constexpr OSType hx_fourcc(const char (&code)[5])
{
    return (OSType(uint8_t(code[0])) << 24) | (OSType(uint8_t(code[1])) << 16) |
           (OSType(uint8_t(code[2])) << 8) | OSType(uint8_t(code[3]));
}

extern "C" {

typedef void(__cdecl* hx_qt_bind_hook)();
typedef long(__cdecl* hx_qt_routine)();

// Read by the forwarding entries; the offsets are fixed in hx_quicktime_entries.S.
struct hx_qt_dispatch_table {
    hx_qt_bind_hook bind_hook;                  // the binder until bound, then null
    hx_qt_routine dispatcher;                   // "theQuickTimeDispatcher"
    hx_qt_routine call_component;               // "_CallComponent"
    hx_qt_routine call_component_with_storage;  // "_CallComponentFunctionWithStorage"
};
static_assert(offsetof(hx_qt_dispatch_table, bind_hook) == 0, "entries read offset 0");
static_assert(offsetof(hx_qt_dispatch_table, dispatcher) == 4, "entries read offset 4");
static_assert(offsetof(hx_qt_dispatch_table, call_component) == 8, "entries read offset 8");
static_assert(offsetof(hx_qt_dispatch_table, call_component_with_storage) == 12, "entries read offset 12");

extern hx_qt_dispatch_table hx_qt_table;

// The binder: takes the runtime already loaded by the host, or loads it from the system
// folder, and fills the table. Called by the entries; harmless to call again.
void __cdecl hx_qt_bind();

// The runtime's component calls, forwarded without a selector.
long __cdecl hx_qt_call_component();
long __cdecl hx_qt_call_component_with_storage();

// Forwarding entries (selectors are QuickTime's own).
OSErr __cdecl Gestalt(OSType selector, long* response);  // 0x110001
}

// Whether all three runtime entry points are bound.
bool hx_qt_is_bound();
// Forgets the binding and the runtime (only for tests that take QuickTime away and back).
void hx_qt_unbind();
