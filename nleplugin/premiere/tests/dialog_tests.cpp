// The "Save for Web" dialog under Xvfb: shown from the module's own resources, driven from the
// test's thread as a user would (menu commands, clicks, keys), looked at on the screen.
#include "export_dialog.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One run of the dialog on a thread of its own, with the module's resources.
class dialog_session {
public:
    explicit dialog_session(int32_t source_flag = 0)
    {
        resources_ = LoadLibraryA((bin_dir() + "tsp_prm_nle.prm").c_str());
        source_flag_ = source_flag;
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        wait_until([&] {
            dialog_ = FindWindowA("#32770", "Save for Web");
            return dialog_ != nullptr && IsWindowVisible(dialog_);
        });
    }
    ~dialog_session()
    {
        if (thread_ != nullptr) {
            if (WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0 && dialog_ != nullptr)
                PostMessageA(dialog_, WM_COMMAND, IDCANCEL, 0);
            wait_pumping(thread_, 10000);
            CloseHandle(thread_);
        }
        FreeLibrary(resources_);
    }
    dialog_session(const dialog_session&) = delete;
    dialog_session& operator=(const dialog_session&) = delete;

    HWND dialog() const { return dialog_; }
    HWND item(int id) const { return GetDlgItem(dialog_, id); }
    // The dialog's result, or -100 if it is still open after `timeout_ms`.
    INT_PTR result(DWORD timeout_ms = 10000)
    {
        if (!wait_pumping(thread_, timeout_ms))
            return -100;
        return result_;
    }
    void command(WPARAM id) { SendMessageA(dialog_, WM_COMMAND, id, 0); }
    void choose_range(int index)
    {
        SendMessageA(item(1003), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(1003, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(item(1003)));
    }
    std::string text(int id) const
    {
        char buffer[600] = "";
        GetWindowTextA(GetDlgItem(dialog_, id), buffer, sizeof buffer);
        return buffer;
    }

private:
    static DWORD WINAPI run(void* self)
    {
        auto* me = static_cast<dialog_session*>(self);
        me->result_ = run_export_dialog(me->resources_, me->source_flag_);
        MSG quit;
        if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            me->quit_left_ = static_cast<int>(quit.wParam);
        return 0;
    }

    HMODULE resources_ = nullptr;
    HANDLE thread_ = nullptr;
    HWND dialog_ = nullptr;
    int32_t source_flag_ = 0;
    INT_PTR result_ = -1;

public:
    int quit_left_ = -1;  // the quit message the dialog left in its thread's queue
};

void expect_opening_state(dialog_session& s)
{
    ASSERT_NE(s.dialog(), nullptr);
    EXPECT_FALSE(IsWindowVisible(s.item(1002)));
    EXPECT_STREQ(hx_choice.preset_name, "(Select a Setting here)");
    EXPECT_FALSE(IsWindowEnabled(s.item(1)));
    EXPECT_TRUE(IsWindowEnabled(s.item(2)));
    const HWND range = s.item(1003);
    ASSERT_EQ(SendMessageA(range, CB_GETCOUNT, 0, 0), 2);
    char entry[64];
    SendMessageA(range, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(entry));
    EXPECT_STREQ(entry, "Entire Project");
    SendMessageA(range, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(entry));
    EXPECT_STREQ(entry, "Selected Work Area");
    EXPECT_EQ(SendMessageA(range, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(hx_choice.range, 0);
}

TEST(ExportDialog, OpensWithNoSettingAndTheWholeProject)
{
    dialog_session s;
    expect_opening_state(s);
    EXPECT_TRUE(IsWindowEnabled(s.item(1003)));
    EXPECT_EQ(GetWindow(s.dialog(), GW_OWNER), nullptr);
    PostMessageA(s.item(2), BM_CLICK, 0, 0);
    EXPECT_EQ(s.result(), 2);
}

TEST(ExportDialog, OpensFreshAfterAnEarlierChoice)
{
    {
        dialog_session s;
        s.command(25008);
        s.choose_range(1);
        PostMessageA(s.item(1), BM_CLICK, 0, 0);
        ASSERT_EQ(s.result(), 1);
        EXPECT_EQ(hx_choice.category, 8);
        EXPECT_EQ(hx_choice.preset, 8);
        EXPECT_EQ(hx_choice.range, 1);
    }
    dialog_session again;
    expect_opening_state(again);
}

TEST(ExportDialog, IsOwnedByTheHostWindow)
{
    const HWND host = CreateWindowA("STATIC", "Adobe Premiere", WS_OVERLAPPEDWINDOW, 0, 0, 300, 100, nullptr,
                                    nullptr, nullptr, nullptr);
    ASSERT_NE(host, nullptr);
    {
        dialog_session s;
        EXPECT_EQ(GetWindow(s.dialog(), GW_OWNER), host);
    }
    DestroyWindow(host);
}

// The host quitting while the dialog is up: no export starts, and the quit is the host's.
TEST(ExportDialog, AQuitWhileItIsUpIsNoStart)
{
    dialog_session s;
    ASSERT_NE(s.dialog(), nullptr);
    s.command(25008);  // a setting chosen: Start could be pressed
    ASSERT_TRUE(PostThreadMessageA(GetWindowThreadProcessId(s.dialog(), nullptr), WM_QUIT, 5, 0));
    EXPECT_EQ(s.result(), 2);
    EXPECT_EQ(s.quit_left_, 5);
}

struct choice_case {
    int32_t id;
    int32_t category;
    int32_t preset;
    const char* description;
};

TEST(ExportDialog, ChoosingPresetsThroughMenuIdentifiers)
{
    const choice_case cases[] = {
        {22002, 5, 2, "RealG2 Web Download: Medium-size movie"},
        {25008, 8, 8, "Windows Media - Audio: Broadband stereo"},
        {32000, 15, 0, "Settings Wizard..."},
        {20001, 3, 1, "QuickTime Progressive Download: Big movie (best for ISDN+ viewers)"},
        {20015, 3, 15, "QuickTime Progressive Download: Audio-only Alternates 28.8K, 56K, Dual ISDN (music)"},
        {21001, 4, 1, "QuickTime Streaming: 28.8K Modem"},
        {21016, 4, 16, "QuickTime Streaming: Audio-only Alternates 28.8K, 56K, Dual ISDN (music)"},
        {22001, 5, 1, "RealG2 Web Download: Big movie (best for ISDN+ viewers)"},
        {22008, 5, 8, "RealG2 Web Download: Audio-only Dual ISDN"},
        {23001, 6, 1, "RealG2 Streaming: 28.8K Modem"},
        {23014, 6, 14, "RealG2 Streaming: Audio-only SureStream (music)"},
        {24001, 7, 1, "Windows Media - Video: 28.8k modem"},
        {24010, 7, 10, "Windows Media - Video: Intelligent Streaming (wide range)"},
        {25001, 8, 1, "Windows Media - Audio: 6.5kbit voice"},
        {26001, 9, 1, "AVI CD-ROM: 2X CDROM, Cinepak"},
        {26002, 9, 2, "AVI CD-ROM: 4X CDROM, Cinepak"},
        {27001, 10, 1, "QuickTime CD-ROM: 2X CDROM, Cinepak"},
        {27003, 10, 3, "QuickTime CD-ROM: CDROM, Sorenson"},
        {28001, 11, 1, "Still Image: JPEG image (high quality)"},
        {28004, 11, 4, "Still Image: BMP image"},
        {29001, 12, 1, "MPEG: 2X CDROM, NTSC 352x240"},
        {29002, 12, 2, "MPEG: 2X CDROM, PAL 352x288"},
        {30001, 13, 1, "MP3: 28.8 Modem, mono"},
        {30002, 13, 2, "MP3: High Quality, stereo"},
    };
    dialog_session s;
    for (const choice_case& c : cases) {
        SCOPED_TRACE(c.id);
        s.command(static_cast<WPARAM>(c.id));
        EXPECT_EQ(hx_choice.category, c.category);
        EXPECT_EQ(hx_choice.preset, c.preset);
        EXPECT_EQ(s.text(1002), c.description);
        EXPECT_TRUE(IsWindowVisible(s.item(1002)));
        EXPECT_TRUE(IsWindowEnabled(s.item(1)));
    }
    EXPECT_STREQ(hx_choice.preset_name, "High Quality, stereo");
    PostMessageA(s.item(1), BM_CLICK, 0, 0);
    EXPECT_EQ(s.result(), 1);
}

TEST(ExportDialog, IdentifiersOutsideTheMenuChooseNothing)
{
    dialog_session s;
    s.command(22002);
    // 31000 is no family; 33000 read as a signed 16-bit number is negative.
    for (WPARAM id : {31000, 33000, 19999, 20004}) {
        s.command(id);
        EXPECT_EQ(hx_choice.category, 5) << id;
        EXPECT_EQ(hx_choice.preset, 2) << id;
    }
}

TEST(ExportDialog, RangeChoiceAndSourceFlag)
{
    {
        dialog_session s;
        s.choose_range(1);
        EXPECT_EQ(hx_choice.range, 1);
        s.choose_range(0);
        EXPECT_EQ(hx_choice.range, 0);
    }
    dialog_session flagged(1);
    EXPECT_FALSE(IsWindowEnabled(flagged.item(1003)));
    EXPECT_EQ(hx_choice.range, 0);
}

TEST(ExportDialog, CancelEscapeAndTheSystemMenuGiveTwo)
{
    {
        dialog_session s;
        s.command(22002);
        PostMessageA(s.item(2), BM_CLICK, 0, 0);
        EXPECT_EQ(s.result(), 2);
    }
    {
        dialog_session s;
        PostMessageA(s.item(1003), WM_KEYDOWN, VK_ESCAPE, 0);
        EXPECT_EQ(s.result(), 2);
    }
    {
        dialog_session s;
        PostMessageA(s.dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_EQ(s.result(), 2);
    }
}

class RegistryValue {
public:
    RegistryValue(HKEY root, const std::string& key) : root_(root), key_(key)
    {
        HKEY handle;
        if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS) {
            char value[1024];
            DWORD size = sizeof value;
            if (RegQueryValueExA(handle, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
                ERROR_SUCCESS) {
                had_ = true;
                saved_ = value;
            }
            RegCloseKey(handle);
        }
    }
    ~RegistryValue()
    {
        if (had_)
            set(saved_);
    }
    void set(const std::string& value)
    {
        HKEY handle;
        RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
        RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(handle);
    }

private:
    HKEY root_;
    std::string key_;
    bool had_ = false;
    std::string saved_;
};

TEST(ExportDialog, LearnMoreOpensThePageAndKeepsTheDialogOpen)
{
    // Web addresses open in a recorder instead of a browser.
    RegistryValue handler(HKEY_CLASSES_ROOT, "http\\shell\\open\\command");
    handler.set("\"" + bin_dir() + "encoder.exe\" --record-url \"%1\"");
    const std::string log = temp_file("url.log");
    SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());

    dialog_session s;
    s.command(25008);
    PostMessageA(s.item(3), BM_CLICK, 0, 0);
    ASSERT_TRUE(wait_until([&] { return read_file(log).find("url ") != std::string::npos; }));
    const std::string recorded = read_file(log);
    EXPECT_NE(recorded.find("/tessora/premiere-users/"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find("] url http://"), std::string::npos) << recorded;

    EXPECT_EQ(s.result(200), -100);  // still open
    EXPECT_TRUE(IsWindowVisible(s.dialog()));
    EXPECT_EQ(hx_choice.category, 8);
    EXPECT_EQ(hx_choice.preset, 8);
    PostMessageA(s.item(2), BM_CLICK, 0, 0);
    EXPECT_EQ(s.result(), 2);
}

HWND visible_popup()
{
    const HWND popup = FindWindowA("#32768", nullptr);
    return popup != nullptr && IsWindowVisible(popup) ? popup : nullptr;
}

TEST(ExportDialog, ClickingTheBoxOpensTheMenuAtItsCorner)
{
    // A pointer resting over the menu would open a submenu by itself.
    SetCursorPos(0, 0);
    dialog_session s;
    RECT box;
    GetWindowRect(s.item(1000), &box);
    PostMessageA(s.item(1000), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(s.item(1000), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    HWND popup = nullptr;
    ASSERT_TRUE(wait_until([&] { return (popup = visible_popup()) != nullptr; }));
    RECT where;
    GetWindowRect(popup, &where);
    EXPECT_EQ(where.left, box.left);
    EXPECT_EQ(where.top, box.top);

    // Leaving the menu without a choice changes nothing.
    PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(wait_until([&] { return visible_popup() == nullptr; }));
    EXPECT_FALSE(IsWindowEnabled(s.item(1)));
    EXPECT_FALSE(IsWindowVisible(s.item(1002)));
    EXPECT_EQ(s.result(100), -100);
}

// The dialog's client area as it is on the screen, 32 bits a pixel.
class screen_capture {
public:
    explicit screen_capture(HWND window)
    {
        RECT client;
        GetClientRect(window, &client);
        width_ = client.right;
        height_ = client.bottom;
        pixels_.resize(static_cast<size_t>(width_) * height_);
        // Read back from the screen itself, not from the window's own surface.
        POINT origin{0, 0};
        ClientToScreen(window, &origin);
        const HDC screen = GetDC(nullptr);
        const HDC memory = CreateCompatibleDC(screen);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        const HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        const HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width_, height_, screen, origin.x, origin.y, SRCCOPY);
        GdiFlush();
        std::memcpy(pixels_.data(), bits, pixels_.size() * 4);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    // Writes the capture as a BMP file, for a look when a check fails.
    void save(const std::string& path) const
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr)
            return;
        BITMAPFILEHEADER file{};
        BITMAPINFOHEADER info{};
        info.biSize = sizeof info;
        info.biWidth = width_;
        info.biHeight = -height_;
        info.biPlanes = 1;
        info.biBitCount = 32;
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info;
        file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels_.size() * 4);
        std::fwrite(&file, sizeof file, 1, f);
        std::fwrite(&info, sizeof info, 1, f);
        std::fwrite(pixels_.data(), 4, pixels_.size(), f);
        std::fclose(f);
    }
    // As a COLORREF (0x00BBGGRR).
    COLORREF at(int x, int y) const
    {
        const uint32_t p = pixels_[static_cast<size_t>(y) * width_ + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }

private:
    int width_ = 0, height_ = 0;
    std::vector<uint32_t> pixels_;
};

// A menu colour of our own for the duration of a test, so that the box's fill and its shades
// can be told from the dialog's background.
class menu_colour {
public:
    explicit menu_colour(COLORREF colour) : saved_(GetSysColor(COLOR_MENU))
    {
        const INT element = COLOR_MENU;
        SetSysColors(1, &element, &colour);
    }
    ~menu_colour()
    {
        const INT element = COLOR_MENU;
        SetSysColors(1, &element, &saved_);
    }

private:
    COLORREF saved_;
};

TEST(ExportDialog, SettingsBoxIsPaintedRaisedWithItsLabel)
{
    const COLORREF face = RGB(200, 180, 40);
    const menu_colour colour(face);
    dialog_session s;
    s.command(22002);
    Sleep(300);  // let the repaint happen

    // Where the dialog paints the box: from window rectangles and the frame metrics.
    RECT box, frame;
    GetWindowRect(s.item(1000), &box);
    GetWindowRect(s.dialog(), &frame);
    const int left = box.left - frame.left - GetSystemMetrics(SM_CXFRAME);
    const int right = box.right - frame.left - GetSystemMetrics(SM_CXFRAME);
    const int top = box.top - frame.top - GetSystemMetrics(SM_CYCAPTION) - GetSystemMetrics(SM_CYFRAME);
    const int bottom = box.bottom - frame.top - GetSystemMetrics(SM_CYCAPTION) - GetSystemMetrics(SM_CYFRAME);

    const screen_capture shot(s.dialog());
    const std::string picture = temp_file("settings_box.bmp");
    shot.save(picture);
    SCOPED_TRACE("capture in " + picture + ", box " + std::to_string(left) + "," + std::to_string(top) +
                 " - " + std::to_string(right) + "," + std::to_string(bottom));

    const COLORREF shadow = RGB(168, 148, 8);  // each component 32 darker, not below 0
    const int mid_y = (top + bottom) / 2;
    EXPECT_EQ(shot.at(left + 4, mid_y), face);
    EXPECT_EQ(shot.at(right - 3, mid_y), face);
    EXPECT_EQ(shot.at(right - 1, mid_y), shadow);
    EXPECT_EQ(shot.at(left + 100, bottom - 1), shadow);
    EXPECT_EQ(shot.at(left + 100, bottom - 2), face);
    // The highlight at left + 1 and top + 1 runs where the box's own frame lies; the frame,
    // drawn by the control after the dialog, hides it, so it is not looked for here.

    // The label, in the text colour, starts at left + 19.
    auto dark = [&](int x, int y) {
        const COLORREF c = shot.at(x, y);
        return GetRValue(c) + GetGValue(c) + GetBValue(c) < 200;
    };
    int inked = 0, inked_before = 0;
    for (int y = top + 2; y < bottom - 1; ++y)
        for (int x = left + 2; x < right - 2; ++x)
            if (dark(x, y))
                ++(x < left + 18 ? inked_before : inked);
    EXPECT_GT(inked, 20);
    EXPECT_EQ(inked_before, 0);
}

}  // namespace
