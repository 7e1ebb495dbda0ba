// The "Save for Web" dialog: the user picks an encoder preset from a popup menu and the range
// (whole project or work area). The choice stays in module-level values for the export.
#pragma once

#include <windows.h>

#include <cstdint>

// The choice, kept between dialogs.
struct hx_dialog_choice {
    int32_t category = 0;  // 3 to 13, or 15 for the settings wizard
    int32_t preset = 0;    // within the category; 0 for the wizard
    int32_t range = 0;     // 0 "Entire Project", 1 "Selected Work Area"
    char category_name[260] = "";
    char preset_name[260] = "";  // what the settings box shows
};

extern HINSTANCE hx_module_instance;
extern hx_dialog_choice hx_choice;

// Runs "DLG1_EZ" modally over the host's window; 1 for Start, 2 for Cancel (also when the host's
// thread got WM_QUIT meanwhile), anything else when the dialog could not be made.
INT_PTR run_export_dialog(HINSTANCE instance, int32_t source_flag);

void apply_setting(HWND dialog, int32_t menu_id);
// Turns a menu identifier into the chosen category and preset (and their names).
void decode_setting_id(int32_t menu_id);
void select_setting(int32_t category, int32_t preset);
void paint_settings_box(HWND dialog, const char* text, const RECT& box);
void draw_label(HDC dc, HFONT font, int x, int y, const char* text);
void show_settings_menu(HWND dialog, int x, int y);

// The address "&Learn More..." opens.
extern const char hx_learn_more_address[];
