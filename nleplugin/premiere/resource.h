// Resource and control identifiers of the Premiere export module.
#pragma once

#define HX_PIPL_ID 16000
#define HX_BANNER_BITMAP 103

// Dialog "DLG1_EZ"
#define IDC_SETTINGS_BOX 1000
#define IDC_SETTING_DESCRIPTION 1002
#define IDC_RANGE_LIST 1003
#define IDC_START 1
#define IDC_CANCEL 2
#define IDC_LEARN_MORE 3

// Menu "PROPERTIES_MENU_EZ"
#define HX_MENU_SELECT_PROMPT 152
