// The form as it opens: caption, client size, every control at its place with its text, the
// frame holding "This Computer", the controls over the frame, and the tab order.
#include "kestrix_driver.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

struct expected_control {
    int id;
    const char* name;
    const char* window_class;
    const char* text;
    int left, top, width, height;  // twips, on the form
    int tab;
};

// The form's table; StartLocal is given at its place on the form.
const expected_control form_table[] = {
    {IDC_Frame1, "Frame1", "Button", "Start Tessora", 120, 120, 4695, 1335, 18},
    {IDC_StartLocal, "StartLocal", "Button", "This Computer", 3240, 960, 1455, 375, 19},
    {IDC_LocationText, "LocationText", "Edit", "Text1", 240, 480, 2895, 375, 16},
    {IDC_LaunchRemote, "LaunchRemote", "Button", "Remote Computer", 3240, 480, 1455, 375, 17},
    {IDC_ExitButton, "ExitButton", "Button", "Exit", 120, 1680, 1095, 375, 22},
    {IDC_Start, "Start", "Button", "Start", 1320, 1680, 1095, 375, 10},
    {IDC_Ready, "Ready", "Button", "Ready", 2520, 1680, 1095, 375, 14},
    {IDC_SelectAll, "SelectAll", "Button", "Select All", 3720, 1680, 1095, 375, 9},
    {IDC_Suspend, "Suspend", "Button", "Suspend", 1320, 2160, 1095, 375, 11},
    {IDC_ReadyText, "ReadyText", "Edit", "Text1", 2520, 2160, 1095, 375, 15},
    {IDC_Clear, "Clear", "Button", "Clear", 3720, 2160, 1095, 375, 8},
    {IDC_DestinationText, "DestinationText", "Edit", "Text1", 120, 2640, 3495, 405, 6},
    {IDC_Destination, "Destination", "Button", "Destination", 3720, 2640, 1095, 375, 7},
    {IDC_AddText, "AddText", "Edit", "Text1", 120, 3120, 3495, 375, 4},
    {IDC_Add, "Add", "Button", "Add", 3720, 3120, 1095, 375, 5},
    {IDC_SettingText, "SettingText", "Edit", "Text1", 120, 3600, 3495, 375, 1},
    {IDC_Setting, "Setting", "Button", "Setting", 3720, 3600, 1095, 375, 0},
    {IDC_XMLSettingText, "XMLSettingText", "Edit", "Text1", 120, 4080, 3495, 375, 2},
    {IDC_XMLSetting, "XMLSetting", "Button", "XMLSetting", 3720, 4080, 1095, 375, 3},
    {IDC_SettingAltsText, "SettingAltsText", "Edit", "Text1", 120, 4560, 3495, 375, 12},
    {IDC_SettingAlts, "SettingAlts", "Button", "SettingAlts", 3720, 4560, 1095, 375, 13},
    {IDC_ItemDestinationText, "ItemDestinationText", "Edit", "Text1", 120, 5040, 3495, 375, 20},
    {IDC_ItemDestination, "ItemDestination", "Button", "Item Dest.", 3720, 5040, 1095, 375, 21},
};

// Control identifiers in tab order.
std::vector<int> ids_in_tab_order(bool focusable_only)
{
    std::vector<int> ids(23, 0);
    for (const expected_control& control : form_table)
        ids[control.tab] = control.id;
    if (focusable_only)
        ids.erase(std::find(ids.begin(), ids.end(), IDC_Frame1));
    return ids;
}

RECT rect_in(HWND window, HWND parent)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

HWND focus_of(HWND form)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &info) ? info.hwndFocus : nullptr;
}

class Layout : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(form.start()); }

    kestrix_run form;
};

}  // namespace

TEST_F(Layout, CaptionAndClientSizeInTwipsAtTheDisplaysResolution)
{
    char caption[128] = "";
    GetWindowTextA(form.form(), caption, sizeof caption);
    EXPECT_STREQ(caption, "Tessora 5 Kestrix");

    RECT client{};
    ASSERT_TRUE(GetClientRect(form.form(), &client));
    EXPECT_EQ(client.right - client.left, twips_across(4950));
    EXPECT_EQ(client.bottom - client.top, twips_down(5460));
    EXPECT_TRUE(GetWindowLongA(form.form(), GWL_STYLE) & WS_CAPTION);
}

TEST_F(Layout, EveryControlSitsAtItsPlaceWithItsText)
{
    for (const expected_control& expected : form_table) {
        SCOPED_TRACE(expected.name);
        const HWND window = form.window(expected.id);
        ASSERT_NE(window, nullptr);
        char window_class[32] = "";
        GetClassNameA(window, window_class, sizeof window_class);
        EXPECT_STRCASEEQ(window_class, expected.window_class);
        EXPECT_EQ(form.text(expected.id), expected.text);
        EXPECT_TRUE(IsWindowVisible(window));

        const RECT rect = rect_in(window, form.form());
        EXPECT_EQ(rect.left, twips_across(expected.left));
        EXPECT_EQ(rect.top, twips_down(expected.top));
        EXPECT_EQ(rect.right - rect.left, twips_across(expected.width));
        EXPECT_EQ(rect.bottom - rect.top, twips_down(expected.height));
    }
}

TEST_F(Layout, TheFrameHoldsThisComputerAndTheRemoteControlsLieOverIt)
{
    const HWND frame = form.window(IDC_Frame1);
    EXPECT_EQ(GetWindowLongA(frame, GWL_STYLE) & BS_TYPEMASK, BS_GROUPBOX);

    // StartLocal belongs to the frame, at 3120, 840 within it.
    const HWND start_local = form.window(IDC_StartLocal);
    EXPECT_EQ(GetParent(start_local), frame);
    const RECT in_frame = rect_in(start_local, frame);
    EXPECT_EQ(in_frame.left, twips_across(3120));
    EXPECT_EQ(in_frame.top, twips_down(840));

    // LocationText and LaunchRemote belong to the form and are what a click over them reaches.
    for (const int id : {IDC_LocationText, IDC_LaunchRemote}) {
        const HWND window = form.window(id);
        EXPECT_EQ(GetParent(window), form.form());
        const RECT rect = rect_in(window, form.form());
        const POINT centre{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
        EXPECT_EQ(ChildWindowFromPointEx(form.form(), centre, CWP_SKIPINVISIBLE), window) << id;
    }
    RECT button = rect_in(start_local, form.form());
    const POINT centre{(button.left + button.right) / 2, (button.top + button.bottom) / 2};
    EXPECT_EQ(ChildWindowFromPointEx(form.form(), centre, CWP_SKIPINVISIBLE), frame);
}

TEST_F(Layout, TabOrderFollowsTheTable)
{
    // The form's children, top of the Z order first, are in tab order (StartLocal inside the
    // frame).
    std::vector<int> children;
    for (HWND child = GetWindow(form.form(), GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(GetDlgCtrlID(child));
        if (GetDlgCtrlID(child) == IDC_Frame1)
            for (HWND inner = GetWindow(child, GW_CHILD); inner != nullptr;
                 inner = GetWindow(inner, GW_HWNDNEXT))
                children.push_back(GetDlgCtrlID(inner));
    }
    EXPECT_EQ(children, ids_in_tab_order(false));

    // The dialog manager's walk visits every control but the frame, in that order, and wraps.
    const std::vector<int> stops = ids_in_tab_order(true);
    HWND at = form.window(stops[0]);
    std::vector<int> walked;
    for (size_t k = 0; k < stops.size(); ++k) {
        walked.push_back(GetDlgCtrlID(at));
        at = GetNextDlgTabItem(form.form(), at, FALSE);
    }
    EXPECT_EQ(walked, stops);
    EXPECT_EQ(at, form.window(stops[0]));
}

TEST_F(Layout, TabKeyMovesTheFocusInTabOrderFromSetting)
{
    // Other tests' windows may take the foreground, and with it this form's focus, at any
    // moment; a Tab handled then starts again from the first control. So each step puts the
    // focus back where the walk stands (sharing the form's input state for that), brings the
    // form to the foreground, presses Tab and counts only if the form was still in the
    // foreground afterwards. A step checks only where Tab goes from one control, so repeating it
    // is harmless.
    const DWORD form_thread = GetWindowThreadProcessId(form.form(), nullptr);
    const auto with_form_input = [&](const std::function<void()>& action) {
        AttachThreadInput(GetCurrentThreadId(), form_thread, TRUE);
        action();
        AttachThreadInput(GetCurrentThreadId(), form_thread, FALSE);
    };
    const auto in_front = [&] {
        with_form_input([&] { SetForegroundWindow(form.form()); });
        return wait_until([&] { return GetForegroundWindow() == form.form(); }, 1000);
    };
    const auto focus_moves_from = [&](HWND from, DWORD timeout_ms) {
        HWND to = nullptr;
        wait_until(
            [&] {
                to = focus_of(form.form());
                return to != nullptr && to != from && IsChild(form.form(), to);
            },
            timeout_ms);
        return to != nullptr && to != from && IsChild(form.form(), to) ? to : nullptr;
    };

    // The form opens with the first control in tab order focused, and gives it back when it is
    // activated again.
    in_front();
    EXPECT_EQ(GetDlgCtrlID(focus_moves_from(nullptr, kestrix_timeout_ms)), IDC_Setting);

    const std::vector<int> stops = ids_in_tab_order(true);
    std::vector<int> visited;
    for (size_t k = 0; k < stops.size(); ++k) {
        const HWND from = form.window(stops[k]);
        HWND to = nullptr;
        for (int attempt = 0; attempt < 20 && to == nullptr; ++attempt) {
            if (!in_front())
                continue;
            with_form_input([&] { SetFocus(from); });
            PostMessageA(from, WM_KEYDOWN, VK_TAB, 0x000F0001);
            PostMessageA(from, WM_KEYUP, VK_TAB, 0xC00F0001);
            to = focus_moves_from(from, 2000);
            if (GetForegroundWindow() != form.form())
                to = nullptr;
        }
        visited.push_back(GetDlgCtrlID(to));
    }
    std::vector<int> expected(stops.begin() + 1, stops.end());
    expected.push_back(stops[0]);
    EXPECT_EQ(visited, expected);
}
