// The wrappers, the channel and the handshake, across real processes.
#include "hx_encoder_channel.h"
#include "hx_handshake.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

namespace {

constexpr DWORD child_timeout = 20000;

uint32_t word(hx_shared_memory& block, uint32_t index)
{
    uint32_t v;
    std::memcpy(&v, block.data() + index * 4, 4);
    return v;
}

void set_word(hx_shared_memory& block, uint32_t index, uint32_t value)
{
    std::memcpy(block.data() + index * 4, &value, 4);
}

// Whether the named semaphore is at count 0 (taking the count back if it was not).
bool semaphore_is_empty(HANDLE semaphore)
{
    if (WaitForSingleObject(semaphore, 0) == WAIT_TIMEOUT)
        return true;
    ReleaseSemaphore(semaphore, 1, nullptr);
    return false;
}

}  // namespace

// args: name expected_size — opens the block another process created and checks what it sees.
HX_CHILD_ROLE(open_block)
{
    hx_shared_memory block;
    if (!block.open(args.at(0).c_str()))
        return 10;
    if (block.size() != std::strtoul(args.at(1).c_str(), nullptr, 0))
        return 11;
    // The payload follows the header; the creator put a marker at its start.
    if (std::memcmp(block.data(), "MARK", 4) != 0)
        return 12;
    std::memcpy(block.data(), "SEEN", 4);
    return 0;
}

// args: name — tries to create a block and a semaphore under names another process holds.
HX_CHILD_ROLE(create_taken)
{
    hx_shared_memory block;
    hx_semaphore semaphore;
    const bool block_created = block.create((args.at(0) + "_mem").c_str(), 64);
    const bool semaphore_created = semaphore.create((args.at(0) + "_sem").c_str(), 0, 1);
    if (block_created || block.is_open() || block.size() != 0)
        return 20;
    if (semaphore_created || semaphore.handle() != nullptr)
        return 21;
    return 0;
}

// args: prefix param_size data_size — the encoder's view of a channel: sizes and counts.
HX_CHILD_ROLE(open_channel)
{
    hx_encoder_channel channel;
    if (channel.open_or_create(hx_mode_open, 0, 0, args.at(0).c_str()) != hx_channel_opened)
        return 30;
    if (channel.param_memory().size() != std::strtoul(args.at(1).c_str(), nullptr, 0))
        return 31;
    if (channel.data_memory().size() != std::strtoul(args.at(2).c_str(), nullptr, 0))
        return 32;
    if (!semaphore_is_empty(channel.semaphore_a().handle()) ||
        !semaphore_is_empty(channel.semaphore_b().handle()))
        return 33;
    return 0;
}

// args: milliseconds — lives that long, then ends.
HX_CHILD_ROLE(linger)
{
    Sleep(std::strtoul(args.at(0).c_str(), nullptr, 0));
    return 0;
}

TEST(Semaphore, NewWrapperIsClosedAndNotAborted)
{
    hx_semaphore semaphore;
    EXPECT_EQ(semaphore.handle(), nullptr);
    EXPECT_EQ(semaphore.aborted(), 0);
    semaphore.set_callback([](uintptr_t) -> LONG { return 0; }, 42);
    EXPECT_EQ(semaphore.aborted(), 0);
}

namespace {

// A wait callback that counts its calls and asks to stop at call `stop_at` (0: never).
struct counting_callback {
    LONG calls = 0;
    LONG stop_at = 0;
    static LONG __cdecl call(uintptr_t context)
    {
        counting_callback& self = *reinterpret_cast<counting_callback*>(context);
        ++self.calls;
        return self.stop_at != 0 && self.calls >= self.stop_at ? 1 : 0;
    }
    void install(hx_semaphore& semaphore) { semaphore.set_callback(call, reinterpret_cast<uintptr_t>(this)); }
};

}  // namespace

TEST(Semaphore, WaitCallsItsCallbackAtABoundedRateUntilTheTimeLimit)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("callback").c_str(), 0, 1));
    counting_callback callback;
    callback.install(semaphore);
    semaphore.set_time_limit(1000);
    const DWORD started = GetTickCount();
    EXPECT_EQ(semaphore.wait(), static_cast<DWORD>(WAIT_TIMEOUT));
    const DWORD took = GetTickCount() - started;
    std::printf("1000 ms wait: %ld callback calls in %lu ms\n", static_cast<long>(callback.calls),
                static_cast<unsigned long>(took));
    // About ten a second: never silent for long, never a busy loop.
    EXPECT_GE(callback.calls, 4);
    EXPECT_LE(callback.calls, 12);
    EXPECT_GE(took, 1000u);
    EXPECT_EQ(semaphore.aborted(), hx_not_aborted);
}

TEST(Semaphore, CallbackAskingToStopEndsTheWaitAsStopped)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("stop").c_str(), 0, 1));
    counting_callback callback;
    callback.stop_at = 3;
    callback.install(semaphore);
    EXPECT_EQ(hx_await_request(semaphore), hx_wait_end::stopped);
    EXPECT_EQ(callback.calls, 3);
    EXPECT_EQ(semaphore.aborted(), hx_aborted_by_callback);
}

TEST(Semaphore, RequestAlreadyThereIsServedAndTheCallbackRunsOnlyWhenDue)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("due").c_str(), 0, 1));
    counting_callback callback;
    callback.install(semaphore);
    semaphore.release();
    EXPECT_EQ(semaphore.wait(), WAIT_OBJECT_0);
    EXPECT_EQ(callback.calls, 0);
    // A steady stream of requests still gives the host its turn once an interval has passed.
    Sleep(hx_callback_interval_ms + 50);
    semaphore.release();
    EXPECT_EQ(semaphore.wait(), WAIT_OBJECT_0);
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(semaphore.aborted(), hx_not_aborted);
}

TEST(Semaphore, StoppedExportAnswersTheEncodersNextRequestOnlyWhenOneComes)
{
    hx_semaphore a, b;
    ASSERT_TRUE(a.create(unique_name("tell_a").c_str(), 0, 1));
    ASSERT_TRUE(b.create(unique_name("tell_b").c_str(), 0, 1));
    int answered = 0;
    a.release();  // a request is there
    EXPECT_TRUE(hx_tell_stopped(a, b, [&] { ++answered; }));
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(WaitForSingleObject(b.handle(), 0), WAIT_OBJECT_0);
    // None comes: nothing is answered, and B stays as it was.
    EXPECT_FALSE(hx_tell_stopped(a, b, [&] { ++answered; }));
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(WaitForSingleObject(b.handle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Semaphore, CreateRefusesAnExistingNameAndLeavesTheFirstUsable)
{
    const std::string name = unique_name("sem");
    hx_semaphore first;
    ASSERT_TRUE(first.create(name.c_str(), 0, 1));

    hx_semaphore second;
    EXPECT_FALSE(second.create(name.c_str(), 0, 1));
    EXPECT_EQ(second.handle(), nullptr);

    EXPECT_EQ(first.release(), 1u);
    EXPECT_EQ(first.wait(), WAIT_OBJECT_0);
}

TEST(Semaphore, ReleaseBeyondTheMaximumReturnsTheSystemError)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("max").c_str(), 0, 1));
    EXPECT_EQ(semaphore.release(), 1u);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(semaphore.release(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
}

TEST(Semaphore, OpenOfAMissingNameFailsAndCloseIsIdempotent)
{
    hx_semaphore semaphore;
    EXPECT_FALSE(semaphore.open(unique_name("missing").c_str()));
    EXPECT_EQ(semaphore.handle(), nullptr);
    semaphore.close();
    semaphore.close();
    EXPECT_EQ(semaphore.handle(), nullptr);
}

TEST(Semaphore, WaitBlocksUntilAnotherHolderReleases)
{
    const std::string name = unique_name("wait");
    hx_semaphore owner;
    ASSERT_TRUE(owner.create(name.c_str(), 0, 1));
    hx_semaphore other;
    ASSERT_TRUE(other.open(name.c_str()));
    ASSERT_EQ(WaitForSingleObject(owner.handle(), 50), static_cast<DWORD>(WAIT_TIMEOUT));

    std::thread releaser([&] {
        Sleep(100);
        other.release();
    });
    EXPECT_EQ(owner.wait(), WAIT_OBJECT_0);
    releaser.join();
    EXPECT_EQ(owner.aborted(), 0);
}

TEST(Semaphore, WatchedProcessEndingEndsTheWaitAsAborted)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("watch").c_str(), 0, 1));
    test_process peer;
    ASSERT_TRUE(peer.start_role("linger", "300"));
    ASSERT_TRUE(semaphore.watch(peer.handle()));

    EXPECT_EQ(semaphore.wait(), WAIT_OBJECT_0 + 1);
    EXPECT_NE(semaphore.aborted(), 0);
    EXPECT_EQ(peer.wait_exit(0), 0u);

    // The flag outlives close; a new watch starts clean.
    semaphore.close();
    EXPECT_NE(semaphore.aborted(), 0);
    test_process next;
    ASSERT_TRUE(next.start_role("linger", "10000"));
    ASSERT_TRUE(semaphore.create(unique_name("watch2").c_str(), 0, 1));
    ASSERT_TRUE(semaphore.watch(next.handle()));
    EXPECT_EQ(semaphore.aborted(), 0);
}

TEST(Semaphore, WatchedProcessKilledEndsTheWait)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("kill").c_str(), 0, 1));
    test_process peer;
    ASSERT_TRUE(peer.start_role("linger", "30000"));
    ASSERT_TRUE(semaphore.watch(peer.handle()));
    std::thread killer([&] {
        Sleep(200);
        TerminateProcess(peer.handle(), 7);
    });
    semaphore.wait();
    killer.join();
    EXPECT_NE(semaphore.aborted(), 0);
}

TEST(Semaphore, PendingRequestIsServedBeforeTheDeadPeerIsNoticed)
{
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("pending").c_str(), 0, 1));
    test_process peer;
    ASSERT_TRUE(peer.start_role("linger", "0"));
    ASSERT_EQ(peer.wait_exit(child_timeout), 0u);
    ASSERT_TRUE(semaphore.watch(peer.handle()));
    semaphore.release();

    EXPECT_EQ(semaphore.wait(), WAIT_OBJECT_0);
    EXPECT_EQ(semaphore.aborted(), 0);
    semaphore.wait();
    EXPECT_NE(semaphore.aborted(), 0);
}

TEST(SharedMemory, CreateWritesTheSizeHeaderBeforeThePayload)
{
    hx_shared_memory block;
    ASSERT_TRUE(block.create(unique_name("shm").c_str(), 116));
    EXPECT_EQ(block.size(), 116u);
    uint32_t header;
    std::memcpy(&header, block.data() - 4, 4);
    EXPECT_EQ(header, 116u);

    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(block.data() - 4, &info, sizeof info), 0u);
    EXPECT_EQ(info.BaseAddress, block.data() - 4);
    EXPECT_GE(info.RegionSize, 120u);
}

TEST(SharedMemory, CapacityIsWhatThisProcessMappedNotWhatTheHeaderSays)
{
    const std::string name = unique_name("capacity");
    hx_shared_memory block;
    EXPECT_EQ(block.capacity(), 0u);
    ASSERT_TRUE(block.create(name.c_str(), 65536));
    EXPECT_EQ(block.capacity(), 65536u);
    hx_shared_memory other;
    ASSERT_TRUE(other.open(name.c_str()));
    EXPECT_GE(other.capacity(), 65536u);
    EXPECT_LT(other.capacity(), 65536u + 4096u);
    // Another holder rewrites the header: size() follows it, capacity() does not.
    const uint32_t lie = 0x7FFFFFF0;
    std::memcpy(other.data() - 4, &lie, 4);
    EXPECT_EQ(block.size(), lie);
    EXPECT_EQ(block.capacity(), 65536u);
    block.close();
    EXPECT_EQ(block.capacity(), 0u);
}

TEST(SharedMemory, HoldsBoundsWritesByWhatWasMappedWhateverTheHeaderSays)
{
    const std::string name = unique_name("holds");
    hx_shared_memory block;
    EXPECT_FALSE(block.holds(0, 0)) << "nothing is mapped";
    EXPECT_FALSE(block.holds(0, 4));
    ASSERT_TRUE(block.create(name.c_str(), 1048));
    EXPECT_TRUE(block.holds(0, 1048));
    EXPECT_TRUE(block.holds(1044, 4));
    EXPECT_TRUE(block.holds(1048, 0));
    EXPECT_FALSE(block.holds(0, 1049));
    EXPECT_FALSE(block.holds(1045, 4));
    EXPECT_FALSE(block.holds(1049, 0));
    // Sums that wrap around 32 bits.
    EXPECT_FALSE(block.holds(4, UINT32_MAX));
    EXPECT_FALSE(block.holds(UINT32_MAX, 2));

    // A header rewritten smaller or larger changes nothing.
    hx_shared_memory other;
    ASSERT_TRUE(other.open(name.c_str()));
    for (const uint32_t lie : {0u, 3u, 0x7FFFFFF0u}) {
        std::memcpy(other.data() - 4, &lie, 4);
        EXPECT_TRUE(block.holds(0, 1048)) << lie;
        EXPECT_FALSE(block.holds(0, 1049)) << lie;
    }
    block.close();
    EXPECT_FALSE(block.holds(0, 4));
}

TEST(SharedMemory, SecondProcessOpensAndSeesSizeAndPayload)
{
    const std::string name = unique_name("shared");
    hx_shared_memory block;
    ASSERT_TRUE(block.create(name.c_str(), 1048));
    std::memcpy(block.data(), "MARK", 4);

    test_process child;
    ASSERT_TRUE(child.start_role("open_block", name + " 1048"));
    EXPECT_EQ(child.wait_exit(child_timeout), 0u);
    EXPECT_EQ(std::memcmp(block.data(), "SEEN", 4), 0);
}

TEST(SharedMemory, NameHeldByAnotherProcessIsRefusedAndFirstStaysUsable)
{
    const std::string name = unique_name("taken");
    hx_shared_memory block;
    hx_semaphore semaphore;
    ASSERT_TRUE(block.create((name + "_mem").c_str(), 64));
    ASSERT_TRUE(semaphore.create((name + "_sem").c_str(), 0, 1));
    std::memcpy(block.data(), "MARK", 4);

    test_process child;
    ASSERT_TRUE(child.start_role("create_taken", name));
    EXPECT_EQ(child.wait_exit(child_timeout), 0u);

    EXPECT_EQ(block.size(), 64u);
    EXPECT_EQ(std::memcmp(block.data(), "MARK", 4), 0);
    EXPECT_EQ(semaphore.release(), 1u);
    EXPECT_EQ(semaphore.wait(), WAIT_OBJECT_0);
}

TEST(SharedMemory, OpenMissingFailsAndUnopenedWrapperReportsSizeZero)
{
    hx_shared_memory block;
    EXPECT_EQ(block.size(), 0u);
    EXPECT_FALSE(block.open(unique_name("none").c_str()));
    EXPECT_FALSE(block.is_open());
    block.close();
    block.close();
    EXPECT_EQ(block.size(), 0u);
}

TEST(SharedMemory, ClosedAndCreatedAgainLarger)
{
    const std::string name = unique_name("grow");
    hx_shared_memory block;
    ASSERT_TRUE(block.create(name.c_str(), 0x200000));
    block.close();
    EXPECT_FALSE(block.is_open());
    ASSERT_TRUE(block.create(name.c_str(), 0x800000));
    EXPECT_EQ(block.size(), 0x800000u);
    block.data()[0x800000 - 1] = 1;
}

TEST(SharedMemory, NameHeldByAnotherObjectKindFails)
{
    const std::string name = unique_name("kind");
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(name.c_str(), 0, 1));
    hx_shared_memory block;
    EXPECT_FALSE(block.create(name.c_str(), 16));
    EXPECT_FALSE(block.is_open());
}

TEST(Channel, CreatedObjectsOpenFromAnotherProcessWithSizesAndEmptySemaphores)
{
    const std::string prefix = unique_name("qt");
    hx_encoder_channel channel;
    ASSERT_EQ(channel.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_created);
    EXPECT_EQ(channel.param_memory().size(), 116u);
    EXPECT_EQ(channel.data_memory().size(), 65536u);

    // The names are the prefix followed directly by the suffixes.
    hx_shared_memory param;
    EXPECT_TRUE(param.open((prefix + "param").c_str()));
    hx_semaphore sem_b;
    EXPECT_TRUE(sem_b.open((prefix + "sem_b").c_str()));

    test_process encoder;
    ASSERT_TRUE(encoder.start_role("open_channel", prefix + " 116 65536"));
    EXPECT_EQ(encoder.wait_exit(child_timeout), 0u);
}

TEST(Channel, OpenModeOnMissingObjectsFailsAndHoldsNothing)
{
    hx_encoder_channel channel;
    EXPECT_EQ(channel.open_or_create(hx_mode_open, 116, 65536, unique_name("absent").c_str()),
              hx_channel_failed);
    EXPECT_FALSE(channel.param_memory().is_open());
    EXPECT_FALSE(channel.data_memory().is_open());
    EXPECT_EQ(channel.semaphore_a().handle(), nullptr);
    EXPECT_EQ(channel.semaphore_b().handle(), nullptr);
}

TEST(Channel, OpenOrCreateCreatesWhenAbsentAndOpensWhenPresent)
{
    const std::string prefix = unique_name("both");
    hx_encoder_channel first;
    ASSERT_EQ(first.open_or_create(hx_mode_open_or_create, 116, 65536, prefix.c_str()), hx_channel_created);
    hx_encoder_channel second;
    ASSERT_EQ(second.open_or_create(hx_mode_open_or_create, 999, 999, prefix.c_str()), hx_channel_opened);
    EXPECT_EQ(second.data_memory().size(), 65536u);
}

TEST(Channel, CreateWhileTheNamesExistFailsAndHoldsNothing)
{
    const std::string prefix = unique_name("busy");
    hx_encoder_channel first;
    ASSERT_EQ(first.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_created);

    // Only the last object exists: the first three are made, then all are let go again.
    hx_encoder_channel partial;
    hx_semaphore squatter;
    const std::string other = unique_name("partial");
    ASSERT_TRUE(squatter.create((other + "sem_b").c_str(), 0, 1));
    EXPECT_EQ(partial.open_or_create(hx_mode_create, 116, 65536, other.c_str()), hx_channel_failed);
    EXPECT_FALSE(partial.param_memory().is_open());
    EXPECT_FALSE(partial.data_memory().is_open());
    EXPECT_EQ(partial.semaphore_a().handle(), nullptr);
    hx_shared_memory freed;
    EXPECT_FALSE(freed.open((other + "param").c_str()));

    hx_encoder_channel second;
    EXPECT_EQ(second.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_failed);
    EXPECT_FALSE(second.param_memory().is_open());
    EXPECT_EQ(first.param_memory().size(), 116u);
}

TEST(Channel, CloseAllLetsTheNamesGo)
{
    const std::string prefix = unique_name("close");
    hx_encoder_channel channel;
    ASSERT_EQ(channel.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_created);
    channel.close_all();
    channel.close_all();
    hx_encoder_channel again;
    EXPECT_EQ(again.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_created);
}

// The plug-in's loop against the stand-in encoder in its own process.
class Handshake : public testing::Test {
protected:
    void start_encoder(const std::string& args)
    {
        log_ = temp_file("encoder.log");
        ASSERT_TRUE(encoder_.start(bin_dir() + "encoder.exe", args + " --log \"" + log_ + "\""));
        ASSERT_TRUE(channel_.semaphore_a().watch(encoder_.handle()));
    }

    // The plug-in's half of the stand-in's echo turn: turn + 1, first data word + 1.
    void answer_ping()
    {
        hx_shared_memory& param = channel_.param_memory();
        hx_shared_memory& data = channel_.data_memory();
        set_word(param, 2, word(param, 1) + 1);
        set_word(data, 1, word(data, 0) + 1);
    }

    hx_loop_end serve(const std::function<hx_turn(uint32_t)>& handler)
    {
        return hx_serve_requests(channel_.semaphore_a(), channel_.semaphore_b(), channel_.param_memory(),
                                 handler, [] { return true; });
    }

    hx_encoder_channel channel_;
    test_process encoder_;
    std::string log_;
};

TEST_F(Handshake, ManyTurnsWithDataSeenOnBothSides)
{
    const std::string prefix = unique_name("hs");
    ASSERT_EQ(channel_.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_created);
    start_encoder("--prefix " + prefix + " --ping 2000 --ping-code 100 --done 3 --done-answered");

    uint32_t expected_turn = 0;
    bool in_order = true;
    const hx_loop_end end = serve([&](uint32_t code) {
        if (code == 3)
            return hx_turn::answer_and_stop;
        in_order = in_order && code == 100 && word(channel_.param_memory(), 1) == expected_turn++;
        answer_ping();
        return hx_turn::answer;
    });

    EXPECT_EQ(end, hx_loop_end::done);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(expected_turn, 2000u);
    EXPECT_EQ(encoder_.wait_exit(child_timeout), 0u);
    const std::string log = read_file(log_);
    EXPECT_NE(log.find("sizes param=116 data=65536"), std::string::npos) << log;
    EXPECT_NE(log.find("ping 2000 ok 2000"), std::string::npos) << log;
}

TEST_F(Handshake, UnansweredDoneCodeLeavesSemaphoreBUntouched)
{
    const std::string prefix = unique_name("done");
    ASSERT_EQ(channel_.open_or_create(hx_mode_create, 1048, 0x200000, prefix.c_str()), hx_channel_created);
    start_encoder("--prefix " + prefix + " --ping 3 --done 9");

    const hx_loop_end end = serve([&](uint32_t code) {
        if (code == 9)
            return hx_turn::stop_unanswered;
        answer_ping();
        return hx_turn::answer;
    });
    EXPECT_EQ(end, hx_loop_end::done);
    EXPECT_EQ(encoder_.wait_exit(child_timeout), 0u);
    EXPECT_TRUE(semaphore_is_empty(channel_.semaphore_b().handle()));
    EXPECT_NE(read_file(log_).find("sizes param=1048 data=2097152"), std::string::npos);
}

TEST_F(Handshake, EncoderKilledMidExportEndsTheLoopAsAborted)
{
    const std::string prefix = unique_name("dies");
    ASSERT_EQ(channel_.open_or_create(hx_mode_create, 116, 65536, prefix.c_str()), hx_channel_created);
    start_encoder("--prefix " + prefix + " --ping 5");

    // The encoder is killed while its first request is being served; the loop must notice at
    // its next wait instead of blocking for ever.
    int served = 0;
    const hx_loop_end end = serve([&](uint32_t) {
        ++served;
        encoder_.kill();
        return hx_turn::answer;
    });
    EXPECT_EQ(end, hx_loop_end::aborted);
    EXPECT_EQ(served, 1);
    EXPECT_NE(channel_.semaphore_a().aborted(), 0);
}
