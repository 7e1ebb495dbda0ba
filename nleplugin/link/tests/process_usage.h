// What a process holds, for tests that run many exports in one host and check that nothing
// accumulates. Wine answers GetProcessHandleCount and PrivateUsage with 0, so each is also
// measured another way that Wine does answer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

// Handle values up to this are probed; a test should check that the highest one it found is
// well below it, or the probe may miss handles.
constexpr uintptr_t probed_handle_limit = 0x10000;

// Handles this process holds, found by asking about every handle value in turn; `highest`
// receives the highest value that answered.
DWORD probed_handles(DWORD* highest);

// Committed private memory of this process, region by region, leaving out the allocations
// whose committed size is a high-water mark rather than memory kept.
SIZE_T committed_private_bytes();

struct process_usage {
    DWORD handles = 0;         // GetProcessHandleCount
    DWORD probed = 0;          // handle values that answer
    DWORD highest = 0;         // the highest of them
    SIZE_T private_bytes = 0;  // PrivateUsage
    SIZE_T committed = 0;      // committed private regions
};

process_usage current_process_usage();

// The usage once two readings 100 ms apart agree (or after `limit_ms`, the last reading): the
// system's own threads may still open or close a handle of this process just after a call
// has returned.
process_usage settled_process_usage(DWORD limit_ms = 3000);

bool operator==(const process_usage& a, const process_usage& b);

std::ostream& operator<<(std::ostream& out, const process_usage& u);

// Every handle value this process holds, with the type of the object behind it ("Semaphore",
// "Section", "Process", ...; empty where the system names none).
std::map<uintptr_t, std::string> handle_types();

// Handles in `after` that `before` did not hold, as "value:type" words.
std::string new_handles(const std::map<uintptr_t, std::string>& before,
                        const std::map<uintptr_t, std::string>& after);
