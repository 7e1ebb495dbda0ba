#include "export_dialog.h"

#include "resource.h"
#include "settings_table.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>

HINSTANCE hx_module_instance = nullptr;
hx_dialog_choice hx_choice;
const char hx_learn_more_address[] = "http://www.halvex.com/tessora/premiere-users/";

namespace {

constexpr char select_prompt[] = "(Select a Setting here)";
constexpr int32_t no_default = -1;
constexpr int32_t first_setting_id = 20000;
constexpr int32_t last_setting_id = 33000;
constexpr UINT nonclient_metrics_size = 340;  // the record without the padded border width

HFONT menu_font = nullptr;
HMENU loaded_menu = nullptr;

// The font and the last menu live as long as the module.
struct module_lifetime {
    ~module_lifetime()
    {
        if (menu_font != nullptr)
            DeleteObject(menu_font);
        if (loaded_menu != nullptr)
            DestroyMenu(loaded_menu);
    }
} release_at_unload;

// The defaults store keeps nothing: every dialog opens with no setting and the whole project.
int32_t read_default(const char* /*key*/)
{
    return no_default;
}

void write_default(const char* /*key*/, int32_t /*value*/) {}

void set_text(char (&field)[260], const char* text)
{
    std::snprintf(field, sizeof field, "%s", text);
}

// The settings box in dialog client coordinates, from the window rectangles.
RECT settings_box_rect(HWND dialog)
{
    RECT box, frame;
    GetWindowRect(GetDlgItem(dialog, IDC_SETTINGS_BOX), &box);
    GetWindowRect(dialog, &frame);
    const int dx = frame.left + GetSystemMetrics(SM_CXFRAME);
    const int dy = frame.top + GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYFRAME);
    return RECT{box.left - dx, box.top - dy, box.right - dx, box.bottom - dy};
}

void init_dialog(HWND dialog, int32_t source_flag)
{
    ShowWindow(GetDlgItem(dialog, IDC_SETTING_DESCRIPTION), SW_HIDE);
    set_text(hx_choice.preset_name, select_prompt);
    const int32_t setting = read_default("SettingDefault");
    if (setting == no_default)
        EnableWindow(GetDlgItem(dialog, IDC_START), FALSE);
    else
        apply_setting(dialog, setting);

    const HWND range = GetDlgItem(dialog, IDC_RANGE_LIST);
    SendMessageA(range, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Entire Project"));
    SendMessageA(range, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Selected Work Area"));
    const int32_t export_default = read_default("ExportDefault");
    SendMessageA(range, CB_SETCURSEL, export_default == no_default ? 0 : export_default, 0);
    hx_choice.range = static_cast<int32_t>(SendMessageA(range, CB_GETCURSEL, 0, 0));
    if (source_flag != 0)
        EnableWindow(range, FALSE);
}

// Every rule sees every command, in this order.
BOOL on_command(HWND dialog, WPARAM wparam, LPARAM lparam)
{
    const HWND box = GetDlgItem(dialog, IDC_SETTINGS_BOX);
    if (reinterpret_cast<HWND>(lparam) == box && box != nullptr) {
        RECT where;
        GetWindowRect(box, &where);
        show_settings_menu(dialog, where.left, where.top);
    }
    const int32_t command = static_cast<int32_t>(wparam);
    if (command >= first_setting_id && command <= last_setting_id) {
        write_default("SettingDefault", command);
        apply_setting(dialog, command);
    }
    if (LOWORD(wparam) == IDC_RANGE_LIST && HIWORD(wparam) == CBN_SELCHANGE) {
        hx_choice.range =
            static_cast<int32_t>(SendDlgItemMessageA(dialog, IDC_RANGE_LIST, CB_GETCURSEL, 0, 0));
        write_default("ExportDefault", hx_choice.range);
    }
    switch (LOWORD(wparam)) {
    case IDC_START:
        EndDialog(dialog, IDC_START);
        return TRUE;
    case IDC_CANCEL:
        EndDialog(dialog, IDC_CANCEL);
        return TRUE;
    case IDC_LEARN_MORE:
        ShellExecuteA(nullptr, "open", hx_learn_more_address, nullptr, "", SW_SHOWNORMAL);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        init_dialog(dialog, static_cast<int32_t>(lparam));
        return TRUE;  // the dialog manager sets the focus
    case WM_COMMAND:
        return on_command(dialog, wparam, lparam);
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(dialog, &paint);
        paint_settings_box(dialog, hx_choice.preset_name, settings_box_rect(dialog));
        EndPaint(dialog, &paint);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR run_export_dialog(HINSTANCE instance, int32_t source_flag)
{
    hx_module_instance = instance;
    const HWND owner = FindWindowA(nullptr, "Adobe Premiere");
    const INT_PTR result =
        DialogBoxParamA(instance, "DLG1_EZ", owner, dialog_procedure, static_cast<LPARAM>(source_flag));
    // The host quitting ends the dialog's loop, which leaves the quit in the queue for the host's
    // own loop; the dialog's answer is then the default one, which is no Start.
    MSG quit;
    if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
        return IDC_CANCEL;
    return result;
}

void select_setting(int32_t category, int32_t preset)
{
    const char* category_name;
    const char* preset_name;
    // Only pairs of the menu are chosen; anything else leaves the choice as it was.
    if (!hx_find_setting(category, preset, &category_name, &preset_name))
        return;
    hx_choice.category = category;
    hx_choice.preset = preset;
    set_text(hx_choice.category_name, category_name);
    set_text(hx_choice.preset_name, preset_name);
}

void decode_setting_id(int32_t menu_id)
{
    const int16_t id = static_cast<int16_t>(menu_id);
    const int32_t q = id / 1000;
    const int32_t r = id % 1000;
    if ((q >= 20 && q <= 30) || q == 32)
        select_setting(q - 17, r);
}

void apply_setting(HWND dialog, int32_t menu_id)
{
    decode_setting_id(menu_id);
    char description[sizeof hx_choice.category_name + sizeof hx_choice.preset_name + 2];
    if (menu_id == hx_wizard_id)
        std::snprintf(description, sizeof description, "%s", hx_choice.category_name);
    else
        std::snprintf(description, sizeof description, "%s: %s", hx_choice.category_name,
                      hx_choice.preset_name);
    const HWND text = GetDlgItem(dialog, IDC_SETTING_DESCRIPTION);
    SetWindowTextA(text, description);
    ShowWindow(text, SW_SHOW);
    EnableWindow(GetDlgItem(dialog, IDC_START), TRUE);
    InvalidateRect(dialog, nullptr, FALSE);
}

void paint_settings_box(HWND dialog, const char* text, const RECT& box)
{
    const HDC dc = GetDC(dialog);
    const COLORREF face = GetSysColor(COLOR_MENU);
    const HBRUSH fill = CreateSolidBrush(face);
    FillRect(dc, &box, fill);
    DeleteObject(fill);

    HPEN pen = CreatePen(PS_SOLID, 0, RGB(255, 255, 255));
    HGDIOBJ previous = SelectObject(dc, pen);
    MoveToEx(dc, box.left + 1, box.bottom - 1, nullptr);
    LineTo(dc, box.left + 1, box.top + 1);
    LineTo(dc, box.right - 2, box.top + 1);
    SelectObject(dc, previous);
    DeleteObject(pen);

    auto darker = [](BYTE v) { return static_cast<BYTE>(v > 32 ? v - 32 : 0); };
    pen = CreatePen(PS_SOLID, 0,
                    RGB(darker(GetRValue(face)), darker(GetGValue(face)), darker(GetBValue(face))));
    previous = SelectObject(dc, pen);
    MoveToEx(dc, box.right - 1, box.bottom - 1, nullptr);
    LineTo(dc, box.right - 1, box.top + 1);
    MoveToEx(dc, box.left + 1, box.bottom - 1, nullptr);
    LineTo(dc, box.right - 2, box.bottom - 1);
    SelectObject(dc, previous);
    DeleteObject(pen);

    if (menu_font == nullptr) {
        NONCLIENTMETRICSA metrics{};
        metrics.cbSize = nonclient_metrics_size;
        if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, nonclient_metrics_size, &metrics, 0))
            menu_font = CreateFontIndirectA(&metrics.lfMenuFont);
    }
    draw_label(dc, menu_font, box.left + 19, box.top + 15, text);
    ReleaseDC(dialog, dc);
}

void draw_label(HDC dc, HFONT font, int x, int y, const char* text)
{
    const HGDIOBJ previous_font = font != nullptr ? SelectObject(dc, font) : nullptr;
    const COLORREF previous_colour = SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetTextAlign(dc, TA_BASELINE | TA_LEFT);
    const int previous_mode = SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, x, y, text, static_cast<int>(std::strlen(text)));
    SetBkMode(dc, previous_mode);
    SetTextColor(dc, previous_colour);
    if (previous_font != nullptr)
        SelectObject(dc, previous_font);
}

void show_settings_menu(HWND dialog, int x, int y)
{
    if (loaded_menu != nullptr) {
        DestroyMenu(loaded_menu);
        loaded_menu = nullptr;
    }
    loaded_menu = LoadMenuA(hx_module_instance, "PROPERTIES_MENU_EZ");
    const HMENU settings = loaded_menu != nullptr ? GetSubMenu(loaded_menu, 0) : nullptr;
    if (settings != nullptr)
        TrackPopupMenu(settings, TPM_LEFTALIGN | TPM_TOPALIGN, x, y, 0, dialog, nullptr);
}
