// Long and unkind runs of the QuickTime road: many exports in one host process, an encoder that
// dies at every request of an export, one that lives but falls silent, and channel names taken
// by another process. The QuickTime
// host stand-in runs in this process; the component starts the stand-in encoder through the
// registry.
#include "box_answerer.h"
#include "debug_output.h"
#include "diagnostic_line.h"
#include "named_objects.h"
#include "process_usage.h"
#include "quicktime_host.h"
#include "registry_value.h"
#include "test_process.h"
#include "wait_question.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const std::vector<named_object> channel_objects = {{"TessoraQTExportparam", named_kind::mapping},
                                                   {"TessoraQTExportdata", named_kind::mapping},
                                                   {"TessoraQTExportsem_a", named_kind::semaphore},
                                                   {"TessoraQTExportsem_b", named_kind::semaphore}};

std::string names_left()
{
    return named_objects_left(channel_objects);
}

// A movie that takes few requests: all four tracks, one small frame, one second of sound that
// goes in one piece, a short text.
qt_movie_settings tiny_movie()
{
    qt_movie_settings s;
    s.width = 16;
    s.height = 8;
    s.fps = 1;
    s.video_time_scale = 600;
    s.seconds = 1;
    s.sound_rate = 8000;
    s.text_length = 100;
    return s;
}

// Sound in one request of all its 8000 sample frames.
constexpr char encoder_base_options[] = "--audio-chunk 8000 ";

// Requests the stand-in sends for the tiny movie: general info, four track infos, the sound,
// the frame, the text, the 'GROL' sample, done.
constexpr int tiny_movie_requests = 10;

class QuickTimeRoad : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(names_left(), "");
        out_ = temp_file("qt_road");
        ASSERT_TRUE(CreateDirectoryA(out_.c_str(), nullptr));
        log_ = out_ + "\\encoder.log";
        SetEnvironmentVariableA("HX_ENCODER_OUT", out_.c_str());
        SetEnvironmentVariableA("HX_ENCODER_LOG", log_.c_str());
        std::string error;
        ASSERT_TRUE(host_.load_component(bin_dir() + "Quillex.qtx", &error)) << error;
    }

    void TearDown() override
    {
        EXPECT_EQ(names_left(), "") << "the channel outlived the test";
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
        for (const char* file : {"\\encoder.log", "\\quicktime_export.avi", "\\quicktime_export.maml.txt"})
            DeleteFileA((out_ + file).c_str());
        RemoveDirectoryA(out_.c_str());
    }

    // One export from a fresh instance (open, progress, sources, export, close) with the
    // stand-in encoder; `options` go to the encoder. Waits until the encoder has written its
    // last line, so that it is on its way out; the export's result.
    ComponentResult export_once(const std::string& options = "")
    {
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", (encoder_base_options + options).c_str());
        DeleteFileA(log_.c_str());
        progress_.calls.clear();
        {
            qt_movie movie(tiny_movie());
            results_ = run_export(host_, movie, &progress_);
        }
        returned_at_ = GetTickCount();
        names_at_return_ = names_left();
        last_log_ = read_file(log_);
        if (!last_log_.empty()) {
            // A normal end writes "exit"; a killed encoder writes nothing more, and its last
            // line names the request it died at.
            EXPECT_TRUE(wait_until(
                [&] {
                    last_log_ = read_file(log_);
                    return last_log_.find("exit ") != std::string::npos ||
                           last_log_.find("dying after") != std::string::npos;
                },
                15000))
                << last_log_;
        }
        // The host goes on: its instance was opened, fed and closed as usual.
        EXPECT_NE(results_.instance, nullptr);
        EXPECT_TRUE(results_.ran);
        EXPECT_EQ(results_.closed, noErr);
        EXPECT_TRUE(results_.data_ref_untouched);
        for (const qt_source_result& s : results_.sources)
            EXPECT_EQ(s.result, noErr) << qt_track_name(s.track);
        return results_.exported;
    }

    // Waits until no process holds a channel object (a killed encoder's handles go with it).
    void expect_channel_gone()
    {
        EXPECT_TRUE(wait_until([] { return names_left().empty(); }, 10000)) << names_left();
    }

    long live_blocks() const { return host_.standin().live_blocks(); }

    // Opened, updated and closed; the whole reported only when the encoder said it was done.
    void expect_progress_told(const std::string& what, bool finished)
    {
        EXPECT_EQ(qt_progress_fault(progress_.calls, finished, progress_.refcon()), "") << what;
    }

    quicktime_host host_;
    qt_progress progress_;
    qt_export_results results_;
    std::string out_, log_, last_log_;
    DWORD returned_at_ = 0;        // when the export returned
    std::string names_at_return_;  // the channel objects that existed then
};

TEST_F(QuickTimeRoad, FiftyExportsLeaveNothingBehind)
{
    // The runtime stand-in's moving blocks (and the freed blocks it holds back to catch stale
    // pointers) grow its own heap over the first exports; real QuickTime moves nothing here.
    host_.standin().set_move_handles(0);
    ASSERT_EQ(export_once(), noErr) << last_log_;
    expect_channel_gone();
    const long blocks = live_blocks();
    const process_usage first = settled_process_usage();
    const std::map<uintptr_t, std::string> first_handles = handle_types();
    ASSERT_GT(first.probed, 0u);
    ASSERT_LT(first.highest, probed_handle_limit / 2) << "the probe would not see every handle";
    ASSERT_GT(first.committed, 0u);
    for (int i = 2; i <= 50; ++i) {
        ASSERT_EQ(export_once(), noErr) << "export " << i << "\n" << last_log_;
        ASSERT_NE(last_log_.find("export end 0"), std::string::npos) << last_log_;
        expect_progress_told("export " + std::to_string(i), true);
        expect_channel_gone();
    }
    const process_usage last = settled_process_usage();
    const std::string added = new_handles(first_handles, handle_types());
    std::printf("after the first export: %s, %ld live blocks\n", testing::PrintToString(first).c_str(),
                blocks);
    std::printf("after the last export:  %s, %ld live blocks; new handles: %s\n",
                testing::PrintToString(last).c_str(), live_blocks(), added.c_str());
    EXPECT_EQ(last.handles, first.handles);
    EXPECT_EQ(last.private_bytes, first.private_bytes);
    EXPECT_EQ(last.committed, first.committed);
    EXPECT_EQ(live_blocks(), blocks);
    // Every handle the bridge or the host could leave (a semaphore, a mapping, the encoder's
    // process or thread, an event, a file, a key) is named by its type. Wine's own threads
    // open, at a moment of their choosing and once per process, one object it gives no type
    // name; that one is not counted.
    std::string typed;
    int untyped = 0;
    for (size_t at = 0; at < added.size();) {
        const size_t end = added.find(' ', at);
        const std::string word = added.substr(at, end - at);
        if (word.back() == ':')
            ++untyped;
        else
            typed += word + " ";
        at = end + 1;
    }
    EXPECT_EQ(typed, "") << "handles left behind";
    EXPECT_LE(untyped, 1);
    EXPECT_LE(last.probed, first.probed + static_cast<DWORD>(untyped));
    EXPECT_GE(last.probed, first.probed);
}

TEST_F(QuickTimeRoad, EncoderKilledAtEachRequestFailsTheExportAndTheNextSucceeds)
{
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    const long blocks = live_blocks();
    for (int n = 0; n < tiny_movie_requests; ++n) {
        const std::string what = "encoder killed after " + std::to_string(n) + " requests";
        capture.clear();
        // Every request of the tiny movie succeeds, so nothing is remembered: ioErr.
        EXPECT_EQ(export_once("--die-after " + std::to_string(n)), ioErr) << what << "\n" << last_log_;
        EXPECT_TRUE(
            capture.saw(quillex_diagnostic_line("Error in QuillexFromProceduresToDataRef", ioErr, 311)))
            << what;
        EXPECT_NE(last_log_.find("dying after " + std::to_string(n) + " requests"), std::string::npos)
            << last_log_;
        expect_progress_told(what, false);
        expect_channel_gone();
        EXPECT_EQ(live_blocks(), blocks) << what;
        ASSERT_EQ(export_once(), noErr) << "after " << what << "\n" << last_log_;
        expect_progress_told("the export after " + what, true);
        expect_channel_gone();
    }
    // One request more than the export takes: the stand-in never dies, so the count is right.
    EXPECT_EQ(export_once("--die-after " + std::to_string(tiny_movie_requests)), noErr) << last_log_;
    EXPECT_EQ(last_log_.find("dying"), std::string::npos) << last_log_;
    EXPECT_EQ(live_blocks(), blocks);
}

TEST_F(QuickTimeRoad, NamesHeldByAnotherProcessStopTheExportBeforeTheEncoder)
{
    const long blocks = live_blocks();
    for (const named_object& object : channel_objects) {
        const std::string& name = object.name;
        name_holder holder;
        ASSERT_TRUE(holder.hold(object)) << name;

        EXPECT_EQ(export_once(), memFullErr) << name;
        EXPECT_TRUE(progress_.calls.empty()) << "progress was reported with " << name << " taken";
        EXPECT_EQ(last_log_, "") << "an encoder was started with " << name << " taken";
        // Only the holder's object is left.
        EXPECT_EQ(names_left(), name + " ");
        EXPECT_EQ(live_blocks(), blocks) << name;

        EXPECT_EQ(holder.release(), 0u) << name;
        expect_channel_gone();
        EXPECT_EQ(export_once(), noErr) << name << "\n" << last_log_;
        expect_progress_told("the export after " + name + " was let go", true);
        expect_channel_gone();
    }
}

// An encoder that lives but sends nothing: after the time limit, one second here, the component
// asks with a box of its own caption and no owner.
class QuickTimeSilence : public QuickTimeRoad {
protected:
    void SetUp() override
    {
        QuickTimeRoad::SetUp();
        ASSERT_TRUE(limit_.set());
    }

    static void expect_the_question(const std::vector<seen_box>& seen, int answer)
    {
        expect_one_wait_question(seen, "Tessora Export Component", nullptr, answer);
    }

    const scoped_registry_value limit_{HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 1};
};

TEST_F(QuickTimeSilence, RetryWaitsAgainAndTheRequestThatCameMeanwhileIsServed)
{
    box_answerer::plan plan;
    plan.choices = {IDRETRY};
    plan.delay_ms = 1000;  // the encoder speaks again while the box is up
    box_answerer boxes(plan);
    EXPECT_EQ(export_once("--pause-after 3 --pause-ms 1500"), noErr) << last_log_;
    const std::vector<seen_box> seen = boxes.seen();
    ASSERT_NO_FATAL_FAILURE(expect_the_question(seen, IDRETRY)) << last_log_;
    EXPECT_NE(last_log_.find("resuming"), std::string::npos) << last_log_;
    EXPECT_NE(last_log_.find("export end 0"), std::string::npos) << last_log_;
    expect_progress_told("retried", true);
    expect_channel_gone();
}

TEST_F(QuickTimeSilence, CancelGivesUserCanceledErrAtOnceAndTheNextExportWorksOnceTheEncoderHasGone)
{
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    const long blocks = live_blocks();
    box_answerer::plan plan;
    plan.choices = {IDCANCEL};
    box_answerer boxes(plan);
    // Silent for five seconds after three requests, then it finds nobody answering and ends.
    EXPECT_EQ(export_once("--pause-after 3 --pause-ms 5000 --reply-timeout 1000"), userCanceledErr)
        << last_log_;
    const std::vector<seen_box> seen = boxes.seen();
    ASSERT_NO_FATAL_FAILURE(expect_the_question(seen, IDCANCEL)) << last_log_;
    // Well before the encoder speaks again: the component did not wait for it.
    EXPECT_LT(returned_at_ - seen[0].answered_at, 3000u);
    EXPECT_TRUE(capture.saw(
        quillex_diagnostic_line("Export cancelled: the encoder stopped answering", userCanceledErr, 296)));
    expect_progress_told("cancelled", false);
    EXPECT_NE(last_log_.find("pausing 5000 ms after 3 requests"), std::string::npos) << last_log_;
    expect_channel_gone();
    EXPECT_EQ(live_blocks(), blocks);
    EXPECT_EQ(export_once(), noErr) << last_log_;
    EXPECT_EQ(boxes.seen().size(), 1u);
    expect_channel_gone();
}

TEST_F(QuickTimeSilence, AnEncoderThatNeverOpensTheChannelIsAskedAboutToo)
{
    box_answerer::plan plan;  // no answers planned: Cancel
    box_answerer boxes(plan);
    EXPECT_EQ(export_once("--never-open 3000"), userCanceledErr) << last_log_;
    const std::vector<seen_box> seen = boxes.seen();
    ASSERT_NO_FATAL_FAILURE(expect_the_question(seen, IDCANCEL)) << last_log_;
    EXPECT_EQ(names_at_return_, "");
    expect_progress_told("never opened", false);
    EXPECT_NE(last_log_.find("not opening the channel"), std::string::npos) << last_log_;
}

}  // namespace
