#include "process_usage.h"

#include <cstdio>

#include <psapi.h>

namespace {

// The allocation that holds `address`.
const void* allocation_of(const void* address)
{
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(address, &region, sizeof region);
    return region.AllocationBase;
}

}  // namespace

DWORD probed_handles(DWORD* highest)
{
    DWORD count = 0;
    *highest = 0;
    for (uintptr_t value = 4; value < probed_handle_limit; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            *highest = static_cast<DWORD>(value);
        }
    }
    return count;
}

// Two allocations are left out: this thread's stack (its deepest call so far) and the one
// holding this thread's information block, where Wine keeps every thread's block and commits
// for the most threads alive at once (blocks are reused).
SIZE_T committed_private_bytes()
{
    const int on_stack = 0;
    void* thread_block = nullptr;
    asm("movl %%fs:0x18, %0" : "=r"(thread_block));  // the block's own address (i686)
    const void* const stack = allocation_of(&on_stack);
    const void* const blocks = allocation_of(thread_block);
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE && region.AllocationBase != stack &&
            region.AllocationBase != blocks)
            total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return total;
}

process_usage current_process_usage()
{
    process_usage u;
    GetProcessHandleCount(GetCurrentProcess(), &u.handles);
    u.probed = probed_handles(&u.highest);
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters))
        u.private_bytes = counters.PrivateUsage;
    u.committed = committed_private_bytes();
    return u;
}

process_usage settled_process_usage(DWORD limit_ms)
{
    process_usage last = current_process_usage();
    for (DWORD waited = 0; waited < limit_ms; waited += 100) {
        Sleep(100);
        const process_usage now = current_process_usage();
        if (now == last)
            break;
        last = now;
    }
    return last;
}

bool operator==(const process_usage& a, const process_usage& b)
{
    return a.handles == b.handles && a.probed == b.probed && a.highest == b.highest &&
           a.private_bytes == b.private_bytes && a.committed == b.committed;
}

std::ostream& operator<<(std::ostream& out, const process_usage& u)
{
    return out << "handles " << u.handles << " probed " << u.probed << " (highest " << u.highest
               << ") private bytes " << u.private_bytes << " committed private " << u.committed;
}

std::map<uintptr_t, std::string> handle_types()
{
    typedef LONG(WINAPI * query_object)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query =
        reinterpret_cast<query_object>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject"));
    constexpr int object_type_information = 2;
    struct counted_string {
        USHORT length, maximum;
        const wchar_t* text;
    };
    std::map<uintptr_t, std::string> types;
    for (uintptr_t value = 4; value < probed_handle_limit; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags;
        if (!GetHandleInformation(handle, &flags))
            continue;
        std::string type;
        alignas(8) unsigned char buffer[1024];
        ULONG returned = 0;
        if (query != nullptr &&
            query(handle, object_type_information, buffer, sizeof buffer, &returned) == 0) {
            const auto* name = reinterpret_cast<const counted_string*>(buffer);
            for (USHORT i = 0; i < name->length / 2 && name->text != nullptr; ++i)
                type += static_cast<char>(name->text[i]);
        }
        types[value] = type;
    }
    return types;
}

std::string new_handles(const std::map<uintptr_t, std::string>& before,
                        const std::map<uintptr_t, std::string>& after)
{
    std::string added;
    for (const auto& entry : after) {
        const auto old = before.find(entry.first);
        if (old == before.end() || old->second != entry.second) {
            char word[96];
            std::snprintf(word, sizeof word, "0x%x:%s ", static_cast<unsigned>(entry.first),
                          entry.second.c_str());
            added += word;
        }
    }
    return added;
}
