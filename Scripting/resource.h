// Control identifiers of the Kestrix form.
#pragma once

#define IDC_Frame1 1001
#define IDC_StartLocal 1002
#define IDC_LocationText 1003
#define IDC_LaunchRemote 1004
#define IDC_ExitButton 1005
#define IDC_Start 1006
#define IDC_Ready 1007
#define IDC_SelectAll 1008
#define IDC_Suspend 1009
#define IDC_ReadyText 1010
#define IDC_Clear 1011
#define IDC_DestinationText 1012
#define IDC_Destination 1013
#define IDC_AddText 1014
#define IDC_Add 1015
#define IDC_SettingText 1016
#define IDC_Setting 1017
#define IDC_XMLSettingText 1018
#define IDC_XMLSetting 1019
#define IDC_SettingAltsText 1020
#define IDC_SettingAlts 1021
#define IDC_ItemDestinationText 1022
#define IDC_ItemDestination 1023
