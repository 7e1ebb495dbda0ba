// Long exports as a user runs them: quicktime_host.exe as a second process, with its main
// window, exporting through Quillex.qtx to the stand-in encoder slowed by --frame-delay, while
// its own probe asks the window every 100 ms whether it answers. What the program prints is
// what is checked: the progress it was told, the longest unanswered message, how soon a Stop
// ended the export; and the files the encoder left.
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Far under Windows' 5 s, with room for a loaded machine: on a quiet one the window never
// waits much more than the component's 100 ms between calls of the progress procedure.
constexpr unsigned long unanswered_bound_ms = 2000;
// "Within a second", with the same room.
constexpr unsigned long stop_bound_ms = 2000;

struct program_run {
    DWORD status = 0;
    std::string printed;
    DWORD took_ms = 0;
};

// Runs the host program with the encoder's `encoder_options`; the encoder's files go to `out`.
program_run run_host(const std::string& out, const std::string& args, const std::string& encoder_options)
{
    const std::string printed = temp_file("qt_long_printed");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", encoder_options.c_str());
    program_run run;
    const DWORD started = GetTickCount();
    test_process host;
    EXPECT_TRUE(host.start(bin_dir() + "quicktime_host.exe", "--out \"" + out + "\" " + args, printed));
    run.status = host.wait_exit(120000);
    run.took_ms = GetTickCount() - started;
    if (run.status == STILL_ACTIVE)
        host.kill();
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
    // Its standard output is in text mode: lines end in CR LF.
    for (char c : read_file(printed))
        if (c != '\r')
            run.printed += c;
    DeleteFileA(printed.c_str());
    return run;
}

// The number after `label` in `text`, or -1.
long number_after(const std::string& text, const std::string& label)
{
    const size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + label.size(), nullptr, 10);
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LongExport : public testing::Test {
protected:
    void SetUp() override
    {
        out_ = temp_file("qt_long");
        ASSERT_TRUE(CreateDirectoryA(out_.c_str(), nullptr));
    }
    void TearDown() override
    {
        for (const char* file :
             {"quicktime_encoder.log", "quicktime_export.avi", "quicktime_export.maml.txt"})
            DeleteFileA((out_ + "\\" + file).c_str());
        RemoveDirectoryA(out_.c_str());
    }

    std::string log() const { return read_file(out_ + "\\quicktime_encoder.log"); }
    std::string avi() const { return out_ + "\\quicktime_export.avi"; }
    std::string text() const { return out_ + "\\quicktime_export.maml.txt"; }

    // Waits until the encoder has written its last line; its exit status, or -1.
    long encoder_exit(DWORD timeout_ms) const
    {
        long status = -1;
        wait_until(
            [&] {
                status = number_after(log(), "] exit ");
                return status >= 0;
            },
            timeout_ms);
        return status;
    }

    // The window answered within the bound all along; the figure printed.
    static void expect_answering(const program_run& run)
    {
        const long longest = number_after(run.printed, "responsiveness: longest unanswered message ");
        std::printf("the host's window left a message unanswered for at most %ld ms (export of %lu ms)\n",
                    longest, static_cast<unsigned long>(run.took_ms));
        ASSERT_GE(longest, 0) << run.printed;
        EXPECT_LT(static_cast<unsigned long>(longest), unanswered_bound_ms) << run.printed;
        EXPECT_GT(number_after(run.printed, " ms ("), 0) << "the probe asked" << run.printed;
    }

    // The export ended with -128 soon after the host's Stop; the figure printed.
    static void expect_stopped_soon(const program_run& run)
    {
        EXPECT_EQ(run.status, 1u) << run.printed;
        EXPECT_NE(run.printed.find("export from procedures: -128 (failed)"), std::string::npos)
            << run.printed;
        const long after = number_after(run.printed, "cancel: the export returned ");
        std::printf("the export returned %ld ms after the progress procedure asked to cancel\n", after);
        ASSERT_GE(after, 0) << run.printed;
        EXPECT_LT(static_cast<unsigned long>(after), stop_bound_ms) << run.printed;
        EXPECT_NE(run.printed.find("progress: close"), std::string::npos) << run.printed;
    }

    std::string out_;
};

// About twenty seconds: a 20-second movie of small frames, the encoder working 25 ms before
// each of its ~790 requests.
TEST_F(LongExport, TheHostsWindowKeepsAnsweringAndTheProgressRisesToTheWhole)
{
    const program_run run =
        run_host(out_, "--seconds 20 --width 64 --height 48 --no-text", "--frame-delay 25");
    ASSERT_EQ(run.status, 0u) << run.printed << log();
    expect_answering(run);
    EXPECT_NE(run.printed.find("main window: 0x"), std::string::npos) << run.printed;
    // Rising, from the start to the whole, about ten times a second.
    EXPECT_NE(run.printed.find("progress: 0%\n"), std::string::npos) << run.printed;
    EXPECT_NE(run.printed.find("progress: 100%\nprogress: close"), std::string::npos) << run.printed;
    EXPECT_NE(run.printed.find("% to 100.0%, never lower than the one before"), std::string::npos)
        << run.printed;
    int percentages = 0;
    for (size_t at = run.printed.find("progress: "); at != std::string::npos;
         at = run.printed.find("progress: ", at + 1))
        percentages += run.printed.compare(at + 10, 1, "0") >= 0 &&
                       run.printed.compare(at + 10, 1, "9") <= 0 &&
                       run.printed.find('%', at) < run.printed.find('\n', at);
    const size_t summary = run.printed.find(" updates from ");
    ASSERT_NE(summary, std::string::npos) << run.printed;
    const long updates =
        std::strtol(run.printed.c_str() + run.printed.rfind("progress: ", summary) + 10, nullptr, 10);
    const long seconds = static_cast<long>(run.took_ms / 1000);
    std::printf("%ld progress updates in %ld s, %d whole percentages printed\n", updates, seconds,
                percentages);
    EXPECT_GE(updates, seconds * 4);
    EXPECT_LE(updates, (seconds + 1) * 11);
    EXPECT_GE(percentages, 30) << run.printed;
    EXPECT_NE(log().find("summary quicktime 3 track(s), 600 frames 64x48"), std::string::npos) << log();
    EXPECT_TRUE(exists(avi()));
}

// Half way through the frames (no sound, so the frames are the whole progress), the host's
// Stop: -128 within a second, the encoder told and gone, no file that looks whole; then the
// next export works at once.
TEST_F(LongExport, CancelAtHalfEndsTheExportWithinASecondAndTheNextExportIsDone)
{
    const program_run run =
        run_host(out_, "--seconds 4 --width 64 --height 48 --no-sound --cancel-at 50", "--frame-delay 20");
    expect_stopped_soon(run);
    expect_answering(run);
    // Asked once 50 % was reported: at the first update that reached it.
    const size_t cancel = run.printed.find("%, asking to cancel");
    ASSERT_NE(cancel, std::string::npos) << run.printed;
    const long at =
        std::strtol(run.printed.c_str() + run.printed.rfind("progress: ", cancel) + 10, nullptr, 10);
    EXPECT_GE(at, 50) << run.printed;
    EXPECT_LT(at, 60) << run.printed;
    EXPECT_EQ(run.printed.find("progress: 100%"), std::string::npos) << run.printed;
    EXPECT_EQ(encoder_exit(10000), 7) << log();
    const std::string said = log();
    EXPECT_NE(said.find("stopped by the user after "), std::string::npos) << said;
    EXPECT_NE(said.find("removed " + avi() + ".partial"), std::string::npos) << said;
    EXPECT_FALSE(exists(avi()));
    EXPECT_FALSE(exists(avi() + ".partial"));
    EXPECT_FALSE(exists(text()));

    const program_run next = run_host(out_, "--seconds 1 --width 64 --height 48 --quiet", "");
    EXPECT_EQ(next.status, 0u) << next.printed << log();
    EXPECT_NE(next.printed.find("export from procedures: 0"), std::string::npos) << next.printed;
    EXPECT_TRUE(exists(avi()));
}

// The encoder falls silent half way (after five of ten frames) for four seconds: the Stop
// comes while no request is there, nothing is answered, and the host keeps answering. The
// encoder meets its own reply time-out when it speaks again, and removes what it had begun.
TEST_F(LongExport, CancelWhileTheEncoderIsSilentEndsTheExportAndTheHostKeepsAnswering)
{
    const program_run run =
        run_host(out_, "--seconds 1 --fps 10 --width 64 --height 48 --no-sound --cancel-at 50",
                 "--pause-after 9 --pause-ms 4000 --reply-timeout 1500");
    expect_stopped_soon(run);
    expect_answering(run);
    EXPECT_NE(log().find("pausing 4000 ms after 9 requests"), std::string::npos) << log();
    EXPECT_EQ(encoder_exit(15000), 4) << log();
    const std::string said = log();
    EXPECT_EQ(said.find("stopped by the user"), std::string::npos) << "nothing was answered\n" << said;
    EXPECT_NE(said.find("request 2: no answer"), std::string::npos) << said;
    EXPECT_FALSE(exists(avi()));
    EXPECT_FALSE(exists(avi() + ".partial"));
}

}  // namespace
