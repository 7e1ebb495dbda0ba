// What every part of the runtime stand-in shares: how a routine receives its arguments, the
// lock that keeps the runtime's state whole, and how it complains.
//
// A routine runs on its caller's cdecl frame: `args` points at the first argument, each in a
// 4-byte slot. A short, Boolean or SInt8 argument is read from its slot's low bits only (the
// caller may leave anything in the rest). A routine's result goes back in EAX; for an OSErr
// result only AX counts.
#pragma once

#include <windows.h>

#include "hx_qt_types.h"

#include <cstdint>

namespace hx_qt {

typedef long (*routine)(const uint32_t* args);

inline int32_t arg_long(const uint32_t* args, int i)
{
    return static_cast<int32_t>(args[i]);
}
inline uint32_t arg_u32(const uint32_t* args, int i)
{
    return args[i];
}
inline int16_t arg_short(const uint32_t* args, int i)
{
    return static_cast<int16_t>(args[i] & 0xFFFFu);
}
inline uint8_t arg_byte(const uint32_t* args, int i)
{
    return static_cast<uint8_t>(args[i] & 0xFFu);
}
template <typename T> inline T arg_ptr(const uint32_t* args, int i)
{
    return reinterpret_cast<T>(static_cast<uintptr_t>(args[i]));
}

// Errors of QuickTime's own that the shared header does not name.
constexpr OSErr not_a_heap_block_err = -111;  // memWZErr: not a block of this heap
constexpr OSErr atom_index_invalid_err = -2104;
constexpr OSErr duplicate_atom_type_and_id_err = -2105;
constexpr OSErr res_file_not_found_err = -193;
constexpr ComponentResult bad_component_instance = static_cast<ComponentResult>(0x80008001u);

// One recursive lock over the runtime's state. Routines that call into a component hold it
// only around their own bookkeeping, never across the component's code.
class runtime_lock {
public:
    runtime_lock();
    ~runtime_lock();
    runtime_lock(const runtime_lock&) = delete;
    runtime_lock& operator=(const runtime_lock&) = delete;
};

// Sends `text` (one line, no newline) to the debug output and stderr and keeps it as the last
// message (HXQTLastMessage).
void report(const char* text);
// printf-style report.
void reportf(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* last_message();

}  // namespace hx_qt
