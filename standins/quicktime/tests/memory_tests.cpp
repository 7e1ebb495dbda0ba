// The stand-in's Memory Manager through the forwarding entries: handles that move, locks and
// states, failures on demand.
#include "qt_test_support.h"
#include "test_process.h"

#include <cstring>

namespace {

using Memory = QuickTimeStandIn;

TEST_F(Memory, AnUnlockedHandleMovesOnEveryCallAndKeepsItsBytes)
{
    const Handle h = NewHandle(64);
    ASSERT_NE(h, nullptr);
    std::memset(*h, 0x5A, 64);
    (*h)[63] = 0x17;
    char* before = *h;
    EXPECT_EQ(GetHandleSize(h), 64);  // any call into the runtime
    EXPECT_NE(*h, before);
    // The old block is overwritten, and not handed out again soon.
    EXPECT_EQ(static_cast<uint8_t>(before[0]), 0xDD);
    EXPECT_EQ(static_cast<uint8_t>(before[63]), 0xDD);
    char* second = *h;
    long version = 0;
    Gestalt(hx_fourcc("qtim"), &version);
    EXPECT_NE(*h, second);
    EXPECT_NE(*h, before);
    EXPECT_EQ((*h)[0], 0x5A);
    EXPECT_EQ((*h)[63], 0x17);
    DisposeHandle(h);
}

TEST_F(Memory, ALockedHandleStaysPutUntilUnlocked)
{
    const Handle h = NewHandleClear(16);
    ASSERT_NE(h, nullptr);
    HLock(h);
    char* locked = *h;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(GetHandleSize(h), 16);
    EXPECT_EQ(*h, locked);
    HUnlock(h);
    EXPECT_EQ(GetHandleSize(h), 16);
    EXPECT_NE(*h, locked);
    DisposeHandle(h);
}

TEST_F(Memory, StateRoundTripsExactly)
{
    const Handle h = NewHandle(8);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(HGetState(h), 0);
    HLock(h);
    const int8_t saved = HGetState(h);
    EXPECT_EQ(static_cast<uint8_t>(saved), 0x80);
    HSetState(h, hx_handle_purgeable);
    EXPECT_EQ(HGetState(h), hx_handle_purgeable);
    char* unlocked = *h;
    GetHandleSize(h);
    EXPECT_NE(*h, unlocked) << "purgeable but not locked: it moves";
    HSetState(h, saved);
    EXPECT_EQ(HGetState(h), saved);
    char* relocked = *h;
    GetHandleSize(h);
    EXPECT_EQ(*h, relocked);
    DisposeHandle(h);
}

TEST_F(Memory, ByteArgumentsAreReadFromTheirSlotsLowBitsOnly)
{
    const Handle h = NewHandle(8);
    ASSERT_NE(h, nullptr);
    // A caller may leave anything above the low byte of a short or SInt8 slot.
    typedef void(__cdecl * set_state_wide)(Handle, uint32_t);
    reinterpret_cast<set_state_wide> (&HSetState)(h, 0xABCD1280u | hx_handle_resource);
    EXPECT_EQ(static_cast<uint8_t>(HGetState(h)), 0xA0);
    DisposeHandle(h);
}

TEST_F(Memory, AllocationsFailOnDemandWithMemFullErr)
{
    const long live = standin.live_blocks();
    standin.fail_allocations(1, 2);
    const Handle first = NewHandle(10);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(NewHandleClear(10), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(NewPtr(10), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    const Ptr p = NewPtr(10);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(standin.live_blocks(), live + 2);
    DisposePtr(p);
    DisposeHandle(first);
    EXPECT_EQ(standin.live_blocks(), live);
}

TEST_F(Memory, SetHandleSizeKeepsTheBytesAndALockedBlockCannotGrowAway)
{
    const Handle h = NewHandle(4);
    ASSERT_NE(h, nullptr);
    std::memcpy(*h, "abcd", 4);
    SetHandleSize(h, 4000);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 4000);
    EXPECT_EQ(std::memcmp(*h, "abcd", 4), 0);
    SetHandleSize(h, 2);
    EXPECT_EQ(GetHandleSize(h), 2);
    HLock(h);
    char* locked = *h;
    SetHandleSize(h, 100000);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(GetHandleSize(h), 2);
    EXPECT_EQ(*h, locked);
    standin.fail_allocations(0, 1);
    HUnlock(h);
    SetHandleSize(h, 100);
    EXPECT_EQ(MemError(), memFullErr);
    DisposeHandle(h);
}

TEST_F(Memory, NullAndForeignHandlesAreErrorsNotCrashes)
{
    EXPECT_EQ(GetHandleSize(nullptr), 0);
    EXPECT_EQ(MemError(), nilHandleErr);
    char* block = nullptr;
    const Handle foreign = &block;
    HLock(foreign);
    EXPECT_EQ(MemError(), -111);
    EXPECT_NE(std::strstr(standin.last_message(), "HLock"), nullptr) << standin.last_message();
    const long live = standin.live_blocks();
    DisposeHandle(foreign);
    EXPECT_EQ(standin.live_blocks(), live);
}

TEST_F(Memory, MovingCanBeSwitchedOff)
{
    const Handle h = NewHandle(8);
    ASSERT_NE(h, nullptr);
    standin.set_move_handles(0);
    char* still = *h;
    GetHandleSize(h);
    EXPECT_EQ(*h, still);
    standin.set_move_handles(1);
    GetHandleSize(h);
    EXPECT_NE(*h, still);
    DisposeHandle(h);
}

// A fresh process: exits 0 if its handle stayed put, 1 if it moved.
HX_CHILD_ROLE(handle_moves)
{
    (void)args;
    const Handle h = NewHandle(8);
    if (h == nullptr)
        return 2;
    char* before = *h;
    GetHandleSize(h);
    GetHandleSize(h);
    return *h == before ? 0 : 1;
}

TEST_F(Memory, TheEnvironmentTurnsMovingOffAtLoad)
{
    SetEnvironmentVariableA("HX_QT_MOVE_HANDLES", "0");
    test_process still;
    const bool started = still.start_role("handle_moves");
    SetEnvironmentVariableA("HX_QT_MOVE_HANDLES", nullptr);
    ASSERT_TRUE(started);
    EXPECT_EQ(still.wait_exit(20000), 0u);
    test_process moving;
    ASSERT_TRUE(moving.start_role("handle_moves"));
    EXPECT_EQ(moving.wait_exit(20000), 1u) << "moving is on by default";
}

TEST_F(Memory, UnservedSelectorIsReportedAndRefused)
{
    // Straight through the bound dispatcher with a selector nobody serves.
    long result = 0x150099;
    const hx_qt_routine d = hx_qt_table.dispatcher;
    __asm__ volatile("call *%1" : "+a"(result) : "r"(d) : "ecx", "edx", "memory");
    EXPECT_EQ(result, badComponentSelector);
    EXPECT_NE(std::strstr(standin.last_message(), "0x00150099"), nullptr) << standin.last_message();
}

}  // namespace
