// The stand-in's Memory Manager: relocatable blocks reached through handles, and pointers.
//
// A Handle points at a master pointer that never moves; the master pointer holds the block's
// address. Unless moving is off, every unlocked handle's block moves to a fresh address on
// every call into the runtime, its old bytes overwritten with 0xDD before they are freed, so
// that a pointer kept into a block across a call shows at once. A locked block stays put and
// can grow only within the bytes it already has.
//
// Internal functions expect the runtime lock to be held.
#pragma once

#include "qt_runtime.h"

namespace hx_qt {
namespace memory {

// Moves every unlocked block, when moving is on. Called at the start of every runtime call.
void move_unlocked();
void set_moving(bool on);
void fail_allocations(long skip, long count);
long live_blocks();

// A new handle of `size` bytes (zeroed when `clear`), or null with *err memFullErr/paramErr.
Handle new_handle(long size, bool clear, OSErr* err);
// The block of a live handle, or false (and nothing written) for any other value.
bool block_of(Handle handle, char** data, uint32_t* size);
// Changes a live handle's size, keeping its bytes; new bytes are zero. Growing is an
// allocation (it may be made to fail); a locked block cannot move, so it grows only in place.
OSErr resize(Handle handle, uint32_t size);
OSErr dispose(Handle handle);
OSErr lock(Handle handle, bool locked);

// Routines under their selectors.
long MemError(const uint32_t* args);
long NewHandle(const uint32_t* args);
long NewHandleClear(const uint32_t* args);
long NewPtr(const uint32_t* args);
long HLock(const uint32_t* args);
long HUnlock(const uint32_t* args);
long DisposePtr(const uint32_t* args);
long DisposeHandle(const uint32_t* args);
long SetHandleSize(const uint32_t* args);
long GetHandleSize(const uint32_t* args);
long HGetState(const uint32_t* args);
long HSetState(const uint32_t* args);

}  // namespace memory
}  // namespace hx_qt
