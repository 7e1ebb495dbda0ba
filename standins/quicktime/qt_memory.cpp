#include "qt_memory.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

namespace hx_qt {
namespace memory {
namespace {

constexpr uint8_t freed_fill = 0xDD;
constexpr uint8_t locked_bit = 0x80;

// The master pointer comes first: a Handle is the address of `master`.
struct handle_record {
    char* master = nullptr;
    uint32_t size = 0;
    uint32_t capacity = 0;  // bytes of the block; at least 1, so that the master is never null
    uint8_t state = 0;
};

char* allocate(uint32_t size)
{
    return static_cast<char*>(std::malloc(size == 0 ? 1 : size));
}

// Blocks given up are overwritten and, while blocks move, kept a while before they are freed,
// so that the allocator cannot hand the same address straight back: a stale pointer keeps
// reading 0xDD instead of a block that happens to live there again. With moving off the
// runtime frees at once, as QuickTime does, so that a host's memory can be measured.
class quarantine {
public:
    ~quarantine() { flush(); }
    void flush()
    {
        for (const held& h : blocks_)
            std::free(h.block);
        blocks_.clear();
        total_ = 0;
    }
    void add(char* block, uint32_t capacity)
    {
        const uint32_t bytes = capacity == 0 ? 1 : capacity;
        std::memset(block, freed_fill, bytes);
        if (bytes > max_bytes) {
            std::free(block);
            return;
        }
        blocks_.push_back({block, bytes});
        total_ += bytes;
        while (blocks_.size() > max_blocks || total_ > max_bytes) {
            total_ -= blocks_.front().bytes;
            std::free(blocks_.front().block);
            blocks_.pop_front();
        }
    }

private:
    static constexpr size_t max_blocks = 256;
    static constexpr size_t max_bytes = 8u << 20;
    struct held {
        char* block;
        uint32_t bytes;
    };
    std::deque<held> blocks_;
    size_t total_ = 0;
};

quarantine& held_back()
{
    static quarantine held;
    return held;
}

bool moving = [] {
    char text[8];
    const DWORD n = GetEnvironmentVariableA("HX_QT_MOVE_HANDLES", text, sizeof text);
    return !(n == 1 && text[0] == '0');
}();

void release(char* block, uint32_t capacity)
{
    if (moving) {
        held_back().add(block, capacity);
    } else {
        std::memset(block, freed_fill, capacity == 0 ? 1 : capacity);
        std::free(block);
    }
}

long fail_skip = 0;
long fail_count = 0;
OSErr last_error = noErr;

std::unordered_map<Handle, handle_record*>& handles()
{
    static std::unordered_map<Handle, handle_record*> map;
    return map;
}

std::unordered_map<Ptr, uint32_t>& pointers()
{
    static std::unordered_map<Ptr, uint32_t> map;
    return map;
}

// Whether the next allocation may succeed (the test hook HXQTFailAllocations).
bool allocation_allowed()
{
    if (fail_count <= 0)
        return true;
    if (fail_skip > 0) {
        --fail_skip;
        return true;
    }
    --fail_count;
    return false;
}

handle_record* find(Handle handle)
{
    if (handle == nullptr)
        return nullptr;
    const auto it = handles().find(handle);
    return it == handles().end() ? nullptr : it->second;
}

// The record of a routine's handle argument; otherwise sets MemError and says why.
handle_record* checked(Handle handle, const char* routine_name)
{
    if (handle == nullptr) {
        last_error = nilHandleErr;
        return nullptr;
    }
    handle_record* record = find(handle);
    if (record == nullptr) {
        last_error = not_a_heap_block_err;
        reportf("%s: %p is not a live handle", routine_name, static_cast<void*>(handle));
    }
    return record;
}

bool size_ok(long size)
{
    return size >= 0;
}

}  // namespace

void move_unlocked()
{
    if (!moving)
        return;
    for (auto& entry : handles()) {
        handle_record& record = *entry.second;
        if (record.state & locked_bit)
            continue;
        // The new block is taken before the old one goes, so the address always changes.
        char* moved = allocate(record.size);
        if (moved == nullptr)
            continue;
        std::memcpy(moved, record.master, record.size);
        release(record.master, record.capacity);
        record.master = moved;
        record.capacity = record.size;
    }
}

void set_moving(bool on)
{
    moving = on;
    if (!on)
        held_back().flush();
}

void fail_allocations(long skip, long count)
{
    fail_skip = skip > 0 ? skip : 0;
    fail_count = count > 0 ? count : 0;
}

long live_blocks()
{
    return static_cast<long>(handles().size() + pointers().size());
}

Handle new_handle(long size, bool clear, OSErr* err)
{
    if (!size_ok(size)) {
        *err = paramErr;
        return nullptr;
    }
    if (!allocation_allowed()) {
        *err = memFullErr;
        return nullptr;
    }
    const uint32_t bytes = static_cast<uint32_t>(size);
    std::unique_ptr<handle_record> record(new (std::nothrow) handle_record);
    char* block = allocate(bytes);
    if (record == nullptr || block == nullptr) {
        std::free(block);
        *err = memFullErr;
        return nullptr;
    }
    // New blocks carry a pattern unless cleared, as uninitialised memory would.
    std::memset(block, clear ? 0 : 0xA5, bytes);
    record->master = block;
    record->size = bytes;
    record->capacity = bytes;
    const Handle handle = &record->master;
    handles().emplace(handle, record.get());
    record.release();
    *err = noErr;
    return handle;
}

bool block_of(Handle handle, char** data, uint32_t* size)
{
    const handle_record* record = find(handle);
    if (record == nullptr)
        return false;
    *data = record->master;
    *size = record->size;
    return true;
}

OSErr resize(Handle handle, uint32_t size)
{
    handle_record* record = find(handle);
    if (record == nullptr)
        return handle == nullptr ? nilHandleErr : not_a_heap_block_err;
    if (size <= record->size) {
        record->size = size;
        return noErr;
    }
    if (!allocation_allowed())
        return memFullErr;
    if (size <= record->capacity) {
        std::memset(record->master + record->size, 0, size - record->size);
        record->size = size;
        return noErr;
    }
    if (record->state & locked_bit)
        return memFullErr;
    char* grown = allocate(size);
    if (grown == nullptr)
        return memFullErr;
    std::memcpy(grown, record->master, record->size);
    std::memset(grown + record->size, 0, size - record->size);
    release(record->master, record->capacity);
    record->master = grown;
    record->size = size;
    record->capacity = size;
    return noErr;
}

OSErr dispose(Handle handle)
{
    const auto it = handles().find(handle);
    if (it == handles().end())
        return handle == nullptr ? nilHandleErr : not_a_heap_block_err;
    handle_record* record = it->second;
    handles().erase(it);
    release(record->master, record->capacity);
    delete record;
    return noErr;
}

OSErr lock(Handle handle, bool locked)
{
    handle_record* record = find(handle);
    if (record == nullptr)
        return handle == nullptr ? nilHandleErr : not_a_heap_block_err;
    record->state = locked ? (record->state | locked_bit) : (record->state & ~locked_bit);
    return noErr;
}

// ---- Routines ---------------------------------------------------------------------------

long MemError(const uint32_t*)
{
    return last_error;
}

long NewHandle(const uint32_t* args)
{
    const Handle handle = new_handle(arg_long(args, 0), false, &last_error);
    return static_cast<long>(reinterpret_cast<uintptr_t>(handle));
}

long NewHandleClear(const uint32_t* args)
{
    const Handle handle = new_handle(arg_long(args, 0), true, &last_error);
    return static_cast<long>(reinterpret_cast<uintptr_t>(handle));
}

long NewPtr(const uint32_t* args)
{
    const long size = arg_long(args, 0);
    if (!size_ok(size)) {
        last_error = paramErr;
        return 0;
    }
    if (!allocation_allowed()) {
        last_error = memFullErr;
        return 0;
    }
    const uint32_t bytes = static_cast<uint32_t>(size);
    char* block = allocate(bytes);
    if (block == nullptr) {
        last_error = memFullErr;
        return 0;
    }
    std::memset(block, 0xA5, bytes);
    pointers().emplace(block, bytes);
    last_error = noErr;
    return static_cast<long>(reinterpret_cast<uintptr_t>(block));
}

long HLock(const uint32_t* args)
{
    if (checked(arg_ptr<Handle>(args, 0), "HLock"))
        last_error = lock(arg_ptr<Handle>(args, 0), true);
    return 0;
}

long HUnlock(const uint32_t* args)
{
    if (checked(arg_ptr<Handle>(args, 0), "HUnlock"))
        last_error = lock(arg_ptr<Handle>(args, 0), false);
    return 0;
}

long DisposePtr(const uint32_t* args)
{
    const Ptr pointer = arg_ptr<Ptr>(args, 0);
    if (pointer == nullptr) {
        last_error = noErr;
        return 0;
    }
    const auto it = pointers().find(pointer);
    if (it == pointers().end()) {
        last_error = not_a_heap_block_err;
        reportf("DisposePtr: %p is not a live pointer", static_cast<void*>(pointer));
        return 0;
    }
    release(it->first, it->second);
    pointers().erase(it);
    last_error = noErr;
    return 0;
}

long DisposeHandle(const uint32_t* args)
{
    if (checked(arg_ptr<Handle>(args, 0), "DisposeHandle"))
        last_error = dispose(arg_ptr<Handle>(args, 0));
    return 0;
}

long SetHandleSize(const uint32_t* args)
{
    const Handle handle = arg_ptr<Handle>(args, 0);
    const long size = arg_long(args, 1);
    if (!checked(handle, "SetHandleSize"))
        return 0;
    last_error = size_ok(size) ? resize(handle, static_cast<uint32_t>(size)) : paramErr;
    return 0;
}

long GetHandleSize(const uint32_t* args)
{
    const handle_record* record = checked(arg_ptr<Handle>(args, 0), "GetHandleSize");
    if (record == nullptr)
        return 0;
    last_error = noErr;
    return static_cast<long>(record->size);
}

long HGetState(const uint32_t* args)
{
    const handle_record* record = checked(arg_ptr<Handle>(args, 0), "HGetState");
    if (record == nullptr)
        return 0;
    last_error = noErr;
    return record->state;
}

long HSetState(const uint32_t* args)
{
    handle_record* record = checked(arg_ptr<Handle>(args, 0), "HSetState");
    if (record != nullptr) {
        record->state = arg_byte(args, 1);
        last_error = noErr;
    }
    return 0;
}

}  // namespace memory
}  // namespace hx_qt
