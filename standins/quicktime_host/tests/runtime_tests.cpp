// The host against the system folder's QuickTime.qts, and the program as a second process.
#include "quicktime_host.h"
#include "registry_value.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD program_timeout_ms = 30000;

DWORD run_program(const std::string& args, const std::string& output = "")
{
    test_process p;
    if (!p.start(bin_dir() + "quicktime_host.exe", args, output))
        return 0xFFFFFFFF;
    const DWORD status = p.wait_exit(program_timeout_ms);
    if (status == STILL_ACTIVE)
        p.kill();
    return status;
}

// The runtime stand-in's extra exports, or a skip while the system folder's runtime has none.
bool runtime_standin(hx_qt_standin* standin)
{
    hx_qt_bind();
    return hx_qt_is_bound() && standin->find();
}

std::string component_file()
{
    const std::string path = bin_dir() + "Quillex.qtx";
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES ? path : std::string();
}

qt_movie_settings short_movie()
{
    qt_movie_settings s;
    s.width = 64;
    s.height = 48;
    s.seconds = 1;
    return s;
}

}  // namespace

TEST(quicktime_runtime, the_glue_reaches_the_runtimes_call_component)
{
    hx_qt_bind();
    ASSERT_TRUE(hx_qt_is_bound()) << "the rig puts QuickTime.qts into the system folder";
    // No instance behind it, so the runtime refuses; what matters is that it answered.
    const ComponentResult r = qt_glue::component_version(nullptr);
    EXPECT_NE(r, static_cast<ComponentResult>(qtmlUninitialized));
    EXPECT_NE(r, 0);
}

TEST(quicktime_runtime, loading_a_missing_file_says_so)
{
    quicktime_host host;
    std::string error;
    EXPECT_FALSE(host.load_component("C:\\no\\such\\Quillex.qtx", &error));
    EXPECT_NE(error.find("no component file"), std::string::npos) << error;
    EXPECT_EQ(host.component(), nullptr);
    EXPECT_EQ(host.open(), nullptr);
}

TEST(quicktime_runtime, loading_a_file_that_is_no_component_fails)
{
    const std::string path = temp_file("not_a_component");
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(1024, 'x');
    }
    quicktime_host host;
    std::string error;
    EXPECT_FALSE(host.load_component(path, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(host.component(), nullptr);
    DeleteFileA(path.c_str());
}

TEST(quicktime_host_program, bad_arguments_exit_2_naming_the_argument)
{
    const std::string output = temp_file("qt_host_arguments");
    const struct {
        const char* args;
        const char* says;
    } cases[] = {
        {"--seconds", "--seconds needs a value"},
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"--width 0", "--width: '0' is out of range (1 to"},
        {"--fps abc", "--fps: 'abc' is not a whole number"},
        {"--video-format TOOLONG", "--video-format: 'TOOLONG' is not a four-character code"},
        {"--answer-box retry,maybe", "--answer-box: 'retry,maybe' is not a list of retry, cancel"},
        {"--cancel-at 101", "--cancel-at: '101' is out of range (0 to 100)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_program(c.args, output), 2u) << c.args;
        const std::string text = read_file(output);
        EXPECT_NE(text.find(std::string("quicktime_host: ") + c.says), std::string::npos) << text;
        EXPECT_NE(text.find("usage: quicktime_host.exe"), std::string::npos) << text;
    }
    DeleteFileA(output.c_str());
}

TEST(quicktime_host_program, prints_the_stand_in_encoders_summary)
{
    const std::string out = temp_file("qt_host_summary");
    const std::string output = temp_file("qt_host_summary_printed");
    EXPECT_EQ(run_program("--out \"" + out + "\" --seconds 1 --quiet --no-text --no-grol", output), 0u);
    const std::string text = read_file(output);
    EXPECT_NE(text.find("encoder: quicktime 2 track(s), 30 frames 320x240, 44100 sample frames"),
              std::string::npos)
        << text;
    DeleteFileA(output.c_str());
}

// An encoder that keeps no log where the host asked (as an encoder of one's own does): the
// host says at once that there is no summary, well before the ten seconds it once waited.
TEST(quicktime_host_program, a_log_without_an_encoder_in_it_gets_no_summary_at_once)
{
    const std::string out = temp_file("qt_host_no_log");
    const std::string elsewhere = temp_file("qt_host_elsewhere.log");
    const std::string output = temp_file("qt_host_no_log_printed");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", ("--log " + elsewhere).c_str());
    test_process p;
    ASSERT_TRUE(
        p.start(bin_dir() + "quicktime_host.exe", "--out \"" + out + "\" --seconds 1 --quiet", output));
    const DWORD status = p.wait_exit(8000);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
    if (status == STILL_ACTIVE)
        p.kill();
    EXPECT_EQ(status, 0u);
    const std::string text = read_file(output);
    EXPECT_NE(text.find("encoder: no summary in " + out + "\\quicktime_encoder.log"), std::string::npos)
        << text;
    EXPECT_NE(read_file(elsewhere).find("] summary quicktime"), std::string::npos) << "the encoder ran";
    DeleteFileA(output.c_str());
    DeleteFileA(elsewhere.c_str());
}

TEST(quicktime_host_program, a_missing_component_exits_3)
{
    EXPECT_EQ(run_program("--qtx C:\\no\\such\\Quillex.qtx --seconds 1"), 3u);
}

TEST(quicktime_runtime, descriptions_are_runtime_handles_that_may_move)
{
    hx_qt_standin standin;
    if (!runtime_standin(&standin))
        FAIL() << "the system folder's QuickTime.qts has no stand-in exports";
    standin.set_move_handles(1);
    const long before = standin.live_blocks();
    {
        qt_movie movie(short_movie());
        for (const qt_data_source& s : movie.sources()) {
            MovieExportGetDataParams p{};
            p.recordSize = sizeof p;
            p.sourceTimeScale = s.time_scale;
            p.requestedSampleCount = 1;
            ASSERT_EQ(s.data_proc(s.ref_con, &p), noErr) << qt_track_name(s.track);
            ASSERT_NE(p.desc, nullptr);
            const std::vector<uint8_t> expected = movie.expected_description(s.track);
            // Each runtime call may move the block; the handle still leads to the same bytes.
            EXPECT_EQ(GetHandleSize(p.desc), static_cast<long>(expected.size()));
            EXPECT_EQ(std::memcmp(*p.desc, expected.data(), expected.size()), 0) << qt_track_name(s.track);
            EXPECT_EQ(GetHandleSize(p.desc), static_cast<long>(expected.size()));
            EXPECT_EQ(std::memcmp(*p.desc, expected.data(), expected.size()), 0) << qt_track_name(s.track);
        }
        EXPECT_EQ(standin.live_blocks(), before + 4);
    }
    EXPECT_EQ(standin.live_blocks(), before) << "the movie disposes of its descriptions";
}

TEST(quicktime_runtime, a_description_the_runtime_cannot_allocate_fails_the_request)
{
    hx_qt_standin standin;
    if (!runtime_standin(&standin))
        FAIL() << "the system folder's QuickTime.qts has no stand-in exports";
    qt_movie movie(short_movie());
    const qt_data_source video = movie.sources()[0];
    MovieExportGetDataParams p{};
    p.recordSize = sizeof p;
    standin.fail_allocations(0, 1);
    EXPECT_EQ(video.data_proc(video.ref_con, &p), memFullErr);
    standin.fail_allocations(0, 0);
    EXPECT_EQ(video.data_proc(video.ref_con, &p), noErr);
}

// With the component built beside the tests: the Component Manager's view of it.
TEST(quillex_through_quicktime, answers_version_can_do_and_unserved_selectors)
{
    hx_qt_standin standin;
    const std::string qtx = component_file();
    if (qtx.empty() || !runtime_standin(&standin))
        FAIL() << "needs Quillex.qtx in the build and the runtime stand-in's Component Manager";
    quicktime_host host;
    std::string error;
    ASSERT_TRUE(host.load_component(qtx, &error)) << error;
    const ComponentInstance ci = host.open();
    ASSERT_NE(ci, nullptr);
    EXPECT_EQ(qt_glue::component_version(ci), 0x00010000);
    EXPECT_EQ(qt_glue::component_can_do(ci, kMovieExportFromProceduresToDataRefSelect), 1);
    EXPECT_EQ(qt_glue::component_can_do(ci, 0x85), 0);
    EXPECT_EQ(qt_glue::call_selector(ci, 0x85, {}), badComponentSelector);
    EXPECT_EQ(qt_glue::movie_export_set_get_movie_property_proc(ci, nullptr, nullptr), 0);
    EXPECT_EQ(host.close(ci), noErr);
}

// The whole road: the component starts the stand-in encoder through the registry and serves it.
TEST(quillex_through_quicktime, exports_the_generated_movie)
{
    hx_qt_standin standin;
    const std::string qtx = component_file();
    if (qtx.empty() || !runtime_standin(&standin))
        FAIL() << "needs Quillex.qtx in the build and the runtime stand-in's Component Manager";
    quicktime_host host;
    std::string error;
    ASSERT_TRUE(host.load_component(qtx, &error)) << error;
    qt_movie movie(short_movie());
    qt_progress progress;
    const qt_export_results r = run_export(host, movie, &progress);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.exported, 0);
    EXPECT_TRUE(r.data_ref_untouched);
    ASSERT_EQ(r.sources.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.sources[i].track_id, i);

    // Open before the first wait and close after the last answer, the whole just before it.
    EXPECT_EQ(qt_progress_fault(progress.calls, true, progress.refcon()), "");

    // Each track's first request fetched its description: time 0, one sample, a 56-byte record.
    for (const qt_source_result& s : r.sources) {
        const std::vector<qt_data_request> asked = movie.journal().data_of(s.track);
        ASSERT_FALSE(asked.empty()) << qt_track_name(s.track);
        EXPECT_EQ(asked[0].record_size, 56);
        EXPECT_EQ(asked[0].track_id, s.track_id);
        EXPECT_EQ(asked[0].source_time_scale, movie.time_scale(s.track));
        EXPECT_EQ(asked[0].requested_time, 0);
        EXPECT_EQ(asked[0].requested_count, 1);
    }
    int dura = 0;
    for (const qt_property_request& p : movie.journal().properties) {
        EXPECT_EQ(p.track_id, 0);
        dura += p.property == hx_fourcc("dura");
    }
    EXPECT_EQ(dura, 4);
}

TEST(quicktime_host_program, exports_and_exits_0)
{
    hx_qt_standin standin;
    if (component_file().empty() || !runtime_standin(&standin))
        FAIL() << "needs Quillex.qtx in the build and the runtime stand-in's Component Manager";
    EXPECT_EQ(run_program("--seconds 1 --width 64 --height 48 --quiet"), 0u);
}

// An encoder that dies in the middle: the program does not wait for a log line that will never
// come, and says there is no summary.
TEST(quicktime_host_program, an_encoder_death_ends_the_program_without_waiting_for_its_log)
{
    hx_qt_standin standin;
    if (component_file().empty() || !runtime_standin(&standin))
        FAIL() << "needs Quillex.qtx in the build and the runtime stand-in's Component Manager";
    const std::string out = temp_file("qt_host_dies");
    const std::string output = out + ".txt";
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--die-after 3");
    const DWORD status = run_program("--seconds 1 --width 64 --height 48 --quiet --out " + out, output);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
    const std::string text = read_file(output);
    EXPECT_EQ(status, 1u) << text;
    EXPECT_NE(text.find("encoder: no summary in "), std::string::npos) << text;
    for (const char* file :
         {"\\quicktime_encoder.log", "\\quicktime_export.avi", "\\quicktime_export.maml.txt"})
        DeleteFileA((out + file).c_str());
    RemoveDirectoryA(out.c_str());
    DeleteFileA(output.c_str());
}

// The component's question about a silent encoder is printed and answered from --answer-box;
// after Retry the encoder speaks again and the export completes.
TEST(quicktime_host_program, prints_and_answers_the_components_message_boxes)
{
    hx_qt_standin standin;
    if (component_file().empty() || !runtime_standin(&standin))
        FAIL() << "needs Quillex.qtx in the build and the runtime stand-in's Component Manager";
    const scoped_registry_value limit(HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 1);
    const std::string output = temp_file("qt_host_box");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--pause-after 3 --pause-ms 1500");
    const DWORD status = run_program("--seconds 1 --width 64 --height 48 --quiet --answer-box retry", output);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
    std::string text = read_file(output);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    EXPECT_EQ(status, 0u) << text;
    EXPECT_NE(
        text.find("message box \"Tessora Export Component\": Tessora has not answered for 1 second. Retry "
                  "to wait again, or Cancel to stop the export.\nmessage box answered: Retry\n"),
        std::string::npos)
        << text;
    DeleteFileA(output.c_str());
}
