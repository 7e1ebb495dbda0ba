// The host against the system folder's QuickTime.qts, and the program as a second process.
#include "quicktime_host.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

constexpr DWORD program_timeout_ms = 30000;

DWORD run_program(const std::string& args)
{
    test_process p;
    if (!p.start(bin_dir() + "quicktime_host.exe", args))
        return 0xFFFFFFFF;
    const DWORD status = p.wait_exit(program_timeout_ms);
    if (status == STILL_ACTIVE)
        p.kill();
    return status;
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

TEST(quicktime_host_program, bad_arguments_exit_2)
{
    EXPECT_EQ(run_program("--seconds"), 2u);
    EXPECT_EQ(run_program("--frobnicate"), 2u);
    EXPECT_EQ(run_program("--width 0"), 2u);
}

TEST(quicktime_host_program, a_missing_component_exits_3)
{
    EXPECT_EQ(run_program("--qtx C:\\no\\such\\Quillex.qtx --seconds 1"), 3u);
}
