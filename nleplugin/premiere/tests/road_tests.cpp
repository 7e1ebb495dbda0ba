// Long and unkind runs of the Premiere road: many exports in one host process, an encoder that
// dies at every point of an export, and channel names taken by another process. The host
// stand-in runs in this process; the module starts the stand-in encoder through the registry.
#include "premiere_host.h"
#include "test_process.h"

#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

const char* const channel_names[] = {"TSP_PRM_NLE_DATA_MEM", "TSP_PRM_NLE_PARAM_MEM", "TSP_PRM_NLE_SEM_A",
                                     "TSP_PRM_NLE_SEM_B"};

constexpr uintptr_t probe_limit = 0x10000;

bool is_memory_name(const std::string& name)
{
    return name.find("_MEM") != std::string::npos;
}

// Whether a kernel object of that name exists, whichever process holds it.
bool object_exists(const std::string& name)
{
    const HANDLE h = is_memory_name(name) ? OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())
                                          : OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str());
    if (h != nullptr)
        CloseHandle(h);
    return h != nullptr;
}

std::string names_left()
{
    std::string left;
    for (const char* name : channel_names)
        if (object_exists(name))
            left += std::string(name) + " ";
    return left;
}

// Handles this process holds, found by asking about every handle value in turn. Wine answers
// GetProcessHandleCount with 0, so the count is taken both ways and both must hold still.
DWORD probed_handles(DWORD* highest)
{
    DWORD count = 0;
    *highest = 0;
    for (uintptr_t value = 4; value < probe_limit; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            *highest = static_cast<DWORD>(value);
        }
    }
    return count;
}

// The allocation that holds `address`.
const void* allocation_of(const void* address)
{
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(address, &region, sizeof region);
    return region.AllocationBase;
}

// Committed private memory, region by region. Wine answers PrivateUsage with 0, so this walk
// is what private bytes are measured by there. Two allocations are left out because their
// committed size is a high-water mark, not memory kept: this thread's stack (its deepest call
// so far) and the one holding this thread's information block, where Wine keeps every
// thread's block and commits for the most threads alive at once (blocks are reused).
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

struct process_usage {
    DWORD handles = 0;         // GetProcessHandleCount
    DWORD probed = 0;          // handle values that answer
    DWORD highest = 0;         // the highest of them
    SIZE_T private_bytes = 0;  // PrivateUsage
    SIZE_T committed = 0;      // committed private regions
};

process_usage usage()
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

std::ostream& operator<<(std::ostream& out, const process_usage& u)
{
    return out << "handles " << u.handles << " probed " << u.probed << " (highest " << u.highest
               << ") private bytes " << u.private_bytes << " committed private " << u.committed;
}

// A clip that takes few requests: one frame, mono sound, no markers.
clip_settings tiny_clip()
{
    clip_settings clip;
    clip.width = 16;
    clip.height = 8;
    clip.frames = 1;
    clip.stereo = false;
    clip.audio_rate = 8000;
    return clip;
}

// Requests the stand-in sends for the tiny clip before its end request: audio format, video
// format, timing, setting, marker count, one marker, one audio, one frame, two backward walks.
constexpr int tiny_clip_requests = 10;

class PremiereRoad : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(names_left(), "");
        ASSERT_TRUE(module_.load(bin_dir() + "tsp_prm_nle.prm"));
    }
    void TearDown() override { EXPECT_EQ(names_left(), "") << "the channel outlived the test"; }

    // One export through the module with the stand-in encoder; `options` go to the encoder.
    // Waits for the encoder to be gone, so that it holds no channel object afterwards.
    int32_t export_once(const std::string& options = "", bool* answered = nullptr,
                        DWORD dialog_wait_ms = 15000)
    {
        const std::string log = temp_file("road.log");
        SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());
        SetEnvironmentVariableA("HX_ENCODER_OUT", nullptr);
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", options.c_str());
        premiere_host host(tiny_clip());
        dialog_answerer::plan plan;
        plan.timeout_ms = dialog_wait_ms;
        dialog_answerer answerer(plan);
        const int32_t result =
            module_.call(prm_export_work_area, host.standard(), host.export_record(), host.work_area());
        if (answered != nullptr)
            *answered = answerer.answered();
        last_log_ = read_file(log);
        if (!last_log_.empty()) {
            // A normal end writes "exit"; a killed encoder writes nothing more, and its last
            // line names the request it died at.
            EXPECT_TRUE(wait_until(
                [&] {
                    last_log_ = read_file(log);
                    return last_log_.find("exit ") != std::string::npos ||
                           last_log_.find("dying after") != std::string::npos;
                },
                15000))
                << last_log_;
        }
        // The module forgets the host's blocks on every way out.
        EXPECT_TRUE(host.journal().allocated.empty());
        EXPECT_EQ(host.export_record()->setting_choice, nullptr);
        DeleteFileA(log.c_str());
        return result;
    }

    // Waits until no process holds a channel object (a killed encoder's handles go with it).
    void expect_channel_gone()
    {
        EXPECT_TRUE(wait_until([] { return names_left().empty(); }, 10000)) << names_left();
    }

    premiere_module module_;
    std::string last_log_;
};

TEST_F(PremiereRoad, FiftyExportsLeaveNothingBehind)
{
    ASSERT_EQ(export_once(), prm_export_done) << last_log_;
    expect_channel_gone();
    const process_usage first = usage();
    ASSERT_GT(first.probed, 0u);
    ASSERT_LT(first.highest, probe_limit / 2) << "the probe would not see every handle";
    ASSERT_GT(first.committed, 0u);
    for (int i = 2; i <= 50; ++i) {
        ASSERT_EQ(export_once(), prm_export_done) << "export " << i << "\n" << last_log_;
        ASSERT_NE(last_log_.find("export end 0"), std::string::npos) << last_log_;
        expect_channel_gone();
    }
    const process_usage last = usage();
    std::printf("after the first export: %s\n", testing::PrintToString(first).c_str());
    std::printf("after the last export:  %s\n", testing::PrintToString(last).c_str());
    EXPECT_EQ(last.handles, first.handles);
    EXPECT_EQ(last.probed, first.probed);
    EXPECT_EQ(last.private_bytes, first.private_bytes);
    EXPECT_EQ(last.committed, first.committed);
}

TEST_F(PremiereRoad, EncoderKilledAtEachRequestAbandonsAndTheNextExportSucceeds)
{
    for (int n = 0; n < tiny_clip_requests; ++n) {
        EXPECT_EQ(export_once("--die-after " + std::to_string(n)), prm_export_abandoned) << n << "\n"
                                                                                         << last_log_;
        EXPECT_NE(last_log_.find("dying after " + std::to_string(n) + " requests"), std::string::npos)
            << last_log_;
        expect_channel_gone();
        ASSERT_EQ(export_once(), prm_export_done) << "after dying at " << n << "\n" << last_log_;
        expect_channel_gone();
    }
    // One more request than the export takes: the stand-in never dies, so the count is right.
    EXPECT_EQ(export_once("--die-after " + std::to_string(tiny_clip_requests)), prm_export_done) << last_log_;
    EXPECT_EQ(last_log_.find("dying"), std::string::npos) << last_log_;
}

// args: name ready release — creates an object of the channel's name, signals `ready`, and
// holds the name until `release` is signalled or 30 seconds pass.
HX_CHILD_ROLE(hold_name)
{
    const std::string& name = args.at(0);
    const HANDLE held = is_memory_name(name) ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                                                  PAGE_READWRITE, 0, 4096, name.c_str())
                                             : CreateSemaphoreA(nullptr, 0, 1, name.c_str());
    if (held == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return 40;
    const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, args.at(1).c_str());
    const HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, args.at(2).c_str());
    DWORD waited = WAIT_FAILED;
    if (ready != nullptr && release != nullptr) {
        SetEvent(ready);
        waited = WaitForSingleObject(release, 30000);
    }
    for (HANDLE h : {ready, release, held})
        if (h != nullptr)
            CloseHandle(h);
    return waited == WAIT_OBJECT_0 ? 0 : 41;
}

TEST_F(PremiereRoad, NamesHeldByAnotherProcessAbandonBeforeTheDialog)
{
    for (const char* name : channel_names) {
        const std::string ready_name = unique_name("ready"), release_name = unique_name("release");
        const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
        const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, release_name.c_str());
        ASSERT_NE(ready, nullptr);
        ASSERT_NE(release, nullptr);
        test_process holder;
        ASSERT_TRUE(
            holder.start_role("hold_name", std::string(name) + " " + ready_name + " " + release_name));
        ASSERT_EQ(WaitForSingleObject(ready, 15000), WAIT_OBJECT_0) << name;

        bool answered = true;
        // No dialog is expected: the answerer gives up looking soon.
        EXPECT_EQ(export_once("", &answered, 1500), prm_export_abandoned) << name;
        EXPECT_FALSE(answered) << "a dialog was shown with " << name << " taken";
        EXPECT_EQ(last_log_, "") << "an encoder was started with " << name << " taken";
        // Only the holder's object is left.
        EXPECT_EQ(names_left(), std::string(name) + " ");

        SetEvent(release);
        EXPECT_EQ(holder.wait_exit(15000), 0u) << name;
        CloseHandle(ready);
        CloseHandle(release);
        expect_channel_gone();
        EXPECT_EQ(export_once(), prm_export_done) << name << "\n" << last_log_;
        expect_channel_gone();
    }
}

}  // namespace
