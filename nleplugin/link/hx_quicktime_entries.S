/* Forwarding entries to the QuickTime runtime's dispatcher (see hx_quicktime.h).
   Adding a routine is one line: qt_entry Name, SELECTOR. */
    .intel_syntax noprefix
    .text

/* The table: bind hook at 0, dispatcher at 4, component call at 8, with storage at 12. */
.macro call_bind_hook
    cmp dword ptr [_hx_qt_table], 0
    je 1f
    call dword ptr [_hx_qt_table]
1:
.endm

.macro qt_entry name, selector
    .globl _\name
    .def _\name; .scl 2; .type 32; .endef
_\name:
    call_bind_hook
    mov eax, \selector
    jmp dword ptr [_hx_qt_table + 4]
.endm

.macro qt_component_entry name, offset
    .globl _\name
    .def _\name; .scl 2; .type 32; .endef
_\name:
    call_bind_hook
    jmp dword ptr [_hx_qt_table + \offset]
.endm

    qt_component_entry hx_qt_call_component, 8
    qt_component_entry hx_qt_call_component_with_storage, 12

    qt_entry Gestalt, 0x110001

    qt_entry CallComponent, 0x10000
    qt_entry RegisterComponent, 0x10001
    qt_entry CountComponents, 0x10003
    qt_entry FindNextComponent, 0x10004
    qt_entry GetComponentInfo, 0x10005
    qt_entry OpenComponent, 0x10007
    qt_entry CloseComponent, 0x10008
    qt_entry GetComponentInstanceStorage, 0x1000c
    qt_entry SetComponentInstanceStorage, 0x1000d
    qt_entry RegisterComponentResource, 0x10012
    qt_entry RegisterComponentResourceFile, 0x10014
    qt_entry OpenDefaultComponent, 0x10021

    qt_entry MemError, 0x150006
    qt_entry NewHandle, 0x150008
    qt_entry NewHandleClear, 0x15000a
    qt_entry NewPtr, 0x15000f
    qt_entry HLock, 0x150019
    qt_entry HUnlock, 0x15001a
    qt_entry DisposePtr, 0x15002f
    qt_entry DisposeHandle, 0x150032
    qt_entry SetHandleSize, 0x150033
    qt_entry GetHandleSize, 0x150034
    qt_entry HGetState, 0x15003b
    qt_entry HSetState, 0x15003c

    qt_entry QTNextChildAnyType, 0x20200
    qt_entry QTNewAtomContainer, 0x2020c
    qt_entry QTDisposeAtomContainer, 0x2020d
    qt_entry QTCountChildrenOfType, 0x2020f
    qt_entry QTFindChildByIndex, 0x20210
    qt_entry QTCopyAtomDataToPtr, 0x20213
    qt_entry QTLockContainer, 0x20215
    qt_entry QTUnlockContainer, 0x20217
    qt_entry QTInsertChild, 0x20218
    qt_entry QTGetAtomTypeAndID, 0x20232
