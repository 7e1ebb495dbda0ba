// A resident encoder (--resident) woken by 0x577 serves a QuickTime export. Its window has the
// class every encoder's window has, and plug-in tests post to the first one they find, so these
// tests hold the machine lock.
#include "quicktime_fake.h"

namespace {

// The encoder's main window, found through its process rather than its class, which any other
// running encoder shares.
struct window_search {
    DWORD process;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM context)
{
    auto* s = reinterpret_cast<window_search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[32] = "";
    GetClassNameA(window, name, sizeof name);
    if (owner == s->process && std::strcmp(name, "MainClassW") == 0) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND window_of(DWORD process)
{
    window_search s{process, nullptr};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

TEST_F(QuickTimeSession, ResidentEncoderServesAnExportWhenWokenBy0x577)
{
    plan p;
    p.text = make_text(500);
    fake_component fake(p);
    ASSERT_TRUE(fake.create());
    test_process encoder;
    ASSERT_TRUE(encoder.start(bin_dir() + "encoder.exe", "--resident --prefix " + fake.prefix() + " --out " +
                                                             out_ + " --log " + log_path() +
                                                             " --reply-timeout 15000"));
    HWND window = nullptr;
    ASSERT_TRUE(wait_until([&] { return (window = window_of(encoder.id())) != nullptr; }));
    ASSERT_TRUE(PostMessageA(window, 0x577, 0, 0));
    ASSERT_TRUE(fake.serve(encoder.handle())) << log();
    ASSERT_TRUE(wait_until([&] { return log().find("export end 0") != std::string::npos; })) << log();
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(encoder.wait_exit(20000), 0u);

    EXPECT_NE(log().find("message 0x577"), std::string::npos);
    expect_frames(read_avi(avi_path()), p, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(read_file(text_path()), p.text);
}

}  // namespace
