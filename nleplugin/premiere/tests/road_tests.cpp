// Long and unkind runs of the Premiere road: many exports in one host process, an encoder that
// dies at every point of an export, one that lives but falls silent, and channel names taken by
// another process. The host stand-in runs in this process; the module starts the stand-in
// encoder through the registry.
#include "box_answerer.h"
#include "named_objects.h"
#include "premiere_host.h"
#include "process_usage.h"
#include "registry_value.h"
#include "test_process.h"
#include "wait_question.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::vector<named_object> channel_objects = {{"TSP_PRM_NLE_DATA_MEM", named_kind::mapping},
                                                   {"TSP_PRM_NLE_PARAM_MEM", named_kind::mapping},
                                                   {"TSP_PRM_NLE_SEM_A", named_kind::semaphore},
                                                   {"TSP_PRM_NLE_SEM_B", named_kind::semaphore}};

std::string names_left()
{
    return named_objects_left(channel_objects);
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
        returned_at_ = GetTickCount();
        names_at_return_ = names_left();
        idle_calls_ = host.journal().idle_calls;
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
    DWORD returned_at_ = 0;        // when the module returned
    std::string names_at_return_;  // the channel objects that existed then
    int idle_calls_ = 0;
};

TEST_F(PremiereRoad, FiftyExportsLeaveNothingBehind)
{
    ASSERT_EQ(export_once(), prm_export_done) << last_log_;
    expect_channel_gone();
    const process_usage first = settled_process_usage();
    ASSERT_GT(first.probed, 0u);
    ASSERT_LT(first.highest, probed_handle_limit / 2) << "the probe would not see every handle";
    ASSERT_GT(first.committed, 0u);
    for (int i = 2; i <= 50; ++i) {
        ASSERT_EQ(export_once(), prm_export_done) << "export " << i << "\n" << last_log_;
        ASSERT_NE(last_log_.find("export end 0"), std::string::npos) << last_log_;
        expect_channel_gone();
    }
    const process_usage last = settled_process_usage();
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

TEST_F(PremiereRoad, NamesHeldByAnotherProcessAbandonBeforeTheDialog)
{
    for (const named_object& object : channel_objects) {
        const std::string& name = object.name;
        name_holder holder;
        ASSERT_TRUE(holder.hold(object)) << name;

        bool answered = true;
        // No dialog is expected: the answerer gives up looking soon.
        EXPECT_EQ(export_once("", &answered, 1500), prm_export_abandoned) << name;
        EXPECT_FALSE(answered) << "a dialog was shown with " << name << " taken";
        EXPECT_EQ(last_log_, "") << "an encoder was started with " << name << " taken";
        // Only the holder's object is left.
        EXPECT_EQ(names_left(), name + " ");

        EXPECT_EQ(holder.release(), 0u) << name;
        expect_channel_gone();
        EXPECT_EQ(export_once(), prm_export_done) << name << "\n" << last_log_;
        expect_channel_gone();
    }
}

// An encoder that lives but sends nothing: after the time limit, one second here, the module
// asks with a box owned by the host's window.
class PremiereSilence : public PremiereRoad {
protected:
    void SetUp() override
    {
        PremiereRoad::SetUp();
        ASSERT_TRUE(limit_.set());
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(window_);
        PremiereRoad::TearDown();
    }

    void expect_the_question(const std::vector<seen_box>& seen, int answer)
    {
        expect_one_wait_question(seen, "Save for Web", window_, answer);
    }

    const scoped_registry_value limit_{HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 1};
    const HWND window_ = create_host_window();
};

TEST_F(PremiereSilence, RetryWaitsAgainAndTheRequestThatCameMeanwhileIsServed)
{
    box_answerer::plan plan;
    plan.choices = {IDRETRY};
    // The encoder speaks again while the box is up.
    plan.delay_ms = 1000;
    box_answerer boxes(plan);
    EXPECT_EQ(export_once("--pause-after 3 --pause-ms 1500"), prm_export_done) << last_log_;
    const std::vector<seen_box> seen = boxes.seen();
    ASSERT_NO_FATAL_FAILURE(expect_the_question(seen, IDRETRY)) << last_log_;
    EXPECT_NE(last_log_.find("resuming"), std::string::npos) << last_log_;
    EXPECT_NE(last_log_.find("export end 0"), std::string::npos) << last_log_;
    expect_channel_gone();
}

TEST_F(PremiereSilence, CancelAbandonsAtOnceAndTheNextExportWorksOnceTheEncoderHasGone)
{
    box_answerer::plan plan;
    plan.choices = {IDCANCEL};
    box_answerer boxes(plan);
    // Silent for five seconds after three requests, then it finds nobody answering and ends.
    EXPECT_EQ(export_once("--pause-after 3 --pause-ms 5000 --reply-timeout 1000"), prm_export_abandoned)
        << last_log_;
    const std::vector<seen_box> seen = boxes.seen();
    ASSERT_NO_FATAL_FAILURE(expect_the_question(seen, IDCANCEL)) << last_log_;
    // Well before the encoder speaks again: the module did not wait for it.
    EXPECT_LT(returned_at_ - seen[0].answered_at, 3000u);
    // The wait called the host's idle routine about ten times a second while the encoder was
    // silent, one second before the question.
    EXPECT_GE(idle_calls_, 5);
    EXPECT_NE(last_log_.find("pausing 5000 ms after 3 requests"), std::string::npos) << last_log_;
    expect_channel_gone();
    EXPECT_EQ(export_once(), prm_export_done) << last_log_;
    EXPECT_EQ(boxes.seen().size(), 1u);
    expect_channel_gone();
}

TEST_F(PremiereSilence, AnEncoderThatNeverOpensTheChannelIsAskedAboutToo)
{
    box_answerer::plan plan;  // no answers planned: Cancel
    box_answerer boxes(plan);
    EXPECT_EQ(export_once("--never-open 3000"), prm_export_abandoned) << last_log_;
    const std::vector<seen_box> seen = boxes.seen();
    ASSERT_NO_FATAL_FAILURE(expect_the_question(seen, IDCANCEL)) << last_log_;
    EXPECT_EQ(names_at_return_, "");
    EXPECT_NE(last_log_.find("not opening the channel"), std::string::npos) << last_log_;
}

}  // namespace
