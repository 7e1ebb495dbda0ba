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
