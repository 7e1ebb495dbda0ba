// Binding to the QuickTime runtime ("QuickTime.qts"), found at run time.
//
// Each QuickTime routine a plug-in uses is a forwarding entry (hx_quicktime_entries.S): it
// calls the bind hook while binding is still to be done, then puts the routine's selector
// in EAX and jumps to the runtime's dispatcher with the caller's cdecl frame untouched. The
// dispatcher returns in EAX and leaves the arguments to the caller. Until the runtime is
// bound, every entry answers qtmlUninitialized (-2095) and the next call tries again.
#pragma once

#include <windows.h>

#include "hx_qt_types.h"

#include <cstddef>
#include <cstdint>

constexpr OSErr hx_qtml_uninitialized = qtmlUninitialized;

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

// Forwarding entries (selectors are QuickTime's own). Results declared 16 or 8 bits wide
// come back in AX or AL; the rest of EAX is not the routine's.
OSErr __cdecl Gestalt(OSType selector, long* response);  // 0x110001

// Component Manager.
ComponentResult __cdecl CallComponent(ComponentInstance instance, ComponentParameters* params);  // 0x10000
Component __cdecl RegisterComponent(ComponentDescription* description, ComponentRoutine entry, int16_t global,
                                    Handle name, Handle info, Handle icon);              // 0x10001
long __cdecl CountComponents(ComponentDescription* looking);                             // 0x10003
Component __cdecl FindNextComponent(Component previous, ComponentDescription* looking);  // 0x10004
OSErr __cdecl GetComponentInfo(Component component, ComponentDescription* description, Handle name,
                               Handle info, Handle icon);                              // 0x10005
ComponentInstance __cdecl OpenComponent(Component component);                          // 0x10007
OSErr __cdecl CloseComponent(ComponentInstance instance);                              // 0x10008
Handle __cdecl GetComponentInstanceStorage(ComponentInstance instance);                // 0x1000c
void __cdecl SetComponentInstanceStorage(ComponentInstance instance, Handle storage);  // 0x1000d
Component __cdecl RegisterComponentResource(Handle resource, int16_t global);          // 0x10012
long __cdecl RegisterComponentResourceFile(int16_t file, int16_t global);              // 0x10014
ComponentInstance __cdecl OpenDefaultComponent(OSType type, OSType subtype);           // 0x10021

// Memory Manager.
OSErr __cdecl MemError();                              // 0x150006
Handle __cdecl NewHandle(long size);                   // 0x150008
Handle __cdecl NewHandleClear(long size);              // 0x15000a
Ptr __cdecl NewPtr(long size);                         // 0x15000f
void __cdecl HLock(Handle handle);                     // 0x150019
void __cdecl HUnlock(Handle handle);                   // 0x15001a
void __cdecl DisposePtr(Ptr pointer);                  // 0x15002f
void __cdecl DisposeHandle(Handle handle);             // 0x150032
void __cdecl SetHandleSize(Handle handle, long size);  // 0x150033
long __cdecl GetHandleSize(Handle handle);             // 0x150034
int8_t __cdecl HGetState(Handle handle);               // 0x15003b
void __cdecl HSetState(Handle handle, int8_t state);   // 0x15003c

// Atom containers.
OSErr __cdecl QTNextChildAnyType(QTAtomContainer container, QTAtom parent, QTAtom current,
                                 QTAtom* next);                                                    // 0x20200
OSErr __cdecl QTNewAtomContainer(QTAtomContainer* container);                                      // 0x2020c
OSErr __cdecl QTDisposeAtomContainer(QTAtomContainer container);                                   // 0x2020d
int16_t __cdecl QTCountChildrenOfType(QTAtomContainer container, QTAtom parent, QTAtomType type);  // 0x2020f
QTAtom __cdecl QTFindChildByIndex(QTAtomContainer container, QTAtom parent, QTAtomType type, int16_t index,
                                  QTAtomID* id);  // 0x20210
OSErr __cdecl QTCopyAtomDataToPtr(QTAtomContainer container, QTAtom atom, uint8_t sizeOrLessOK, long size,
                                  void* data, long* actualSize);  // 0x20213
OSErr __cdecl QTLockContainer(QTAtomContainer container);         // 0x20215
OSErr __cdecl QTUnlockContainer(QTAtomContainer container);       // 0x20217
OSErr __cdecl QTInsertChild(QTAtomContainer container, QTAtom parent, QTAtomType type, QTAtomID id,
                            int16_t index, long dataSize, const void* data, QTAtom* newAtom);  // 0x20218
OSErr __cdecl QTGetAtomTypeAndID(QTAtomContainer container, QTAtom atom, QTAtomType* type,
                                 QTAtomID* id);  // 0x20232
}

// Whether all three runtime entry points are bound.
bool hx_qt_is_bound();
// Forgets the binding and the runtime (only for tests that take QuickTime away and back).
void hx_qt_unbind();
