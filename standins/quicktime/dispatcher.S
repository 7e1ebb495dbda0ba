/* The runtime's dispatcher: a client's routine stub has put the selector in EAX and jumped
   here with its caller's cdecl frame untouched ([esp] is the caller's return address). The
   routine runs on that frame and returns in EAX; the caller pops its own arguments. */
    .intel_syntax noprefix
    .text
    .globl _qt_dispatcher_entry
    .def _qt_dispatcher_entry; .scl 2; .type 32; .endef
_qt_dispatcher_entry:
    push ebp
    mov ebp, esp
    lea ecx, [ebp + 8]
    push ecx
    push eax
    call _qt_dispatch
    add esp, 8
    pop ebp
    ret
