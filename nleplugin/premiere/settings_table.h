// The encoder's preset settings, by category (output family) and preset number. The settings
// menu resource is generated from this table, and the dialog looks names up in it.
//
// A preset's menu identifier is (category + 17) * 1000 + preset; 32000 is the settings wizard
// (category 15, preset 0). Preset numbers skip one wherever the menu has a separator.
#pragma once

#include <cstdint>

struct hx_preset {
    int32_t number;
    const char* name;
};

struct hx_category {
    int32_t number;
    const char* name;
    const hx_preset* presets;
    int32_t preset_count;
};

constexpr int32_t hx_wizard_category = 15;
constexpr int32_t hx_wizard_id = 32000;
constexpr char hx_wizard_name[] = "Settings Wizard...";

// Categories 3 to 13, in menu order.
extern const hx_category hx_categories[];
extern const int32_t hx_category_count;

constexpr int32_t hx_menu_id(int32_t category, int32_t preset)
{
    return (category + 17) * 1000 + preset;
}

// Names of a (category, preset) pair; false if the pair is not in the menu. Category 15 is
// the wizard whatever its preset.
bool hx_find_setting(int32_t category, int32_t preset, const char** category_name, const char** preset_name);
