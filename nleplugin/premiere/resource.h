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

// Dialog "PROGRESS_EZ", the export's progress window; its Cancel is IDC_CANCEL. Every control
// has an identifier of its own: a dialog whose only texts are labels looks like a message box
// to anything that looks for one.
#define IDC_PROGRESS_FRAMES_LABEL 1010
#define IDC_PROGRESS_FRAMES 1011
#define IDC_PROGRESS_BAR 1012
#define IDC_PROGRESS_TIME_LABEL 1013
#define IDC_PROGRESS_TIME 1014
#define IDC_PROGRESS_WAITING 1015

// Menu "PROPERTIES_MENU_EZ"
#define HX_MENU_SELECT_PROMPT 152
