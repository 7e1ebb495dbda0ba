// Finding, waking and starting the encoder application.
//
// A running encoder is found by its main window and woken with a posted message; otherwise
// its install location is read from HKLM\SOFTWARE\Halvex\ and it is started with arguments
// that name the calling plug-in. Either way the caller learns the encoder's process, so that
// its request loop can stop waiting when the encoder ends.
#pragma once

#include <windows.h>

#include "hx_handle.h"

#include <cstdint>

// What differs between the two plug-ins.
struct hx_encoder_profile {
    UINT wake_message;        // posted to a running encoder, wParam 0, lParam 0
    const char* editions[2];  // registry values tried in order; null ends the list
    bool needs_quicktime_4;   // checked before looking the encoder up
    const char* start_arguments;
    const char* caption;              // message box caption
    const char* owner_title;          // exact title of the message box's owner, or null
    const char* not_registered;       // shown when no edition is registered
    bool not_registered_adds_folder;  // ... followed by the install folder as read
};

extern const hx_encoder_profile hx_quicktime_profile;
extern const hx_encoder_profile hx_premiere_profile;

constexpr char hx_encoder_window_class[] = "MainClassW";
constexpr char hx_encoder_key[] = "SOFTWARE\\Halvex\\";
constexpr UINT hx_install_folder_size = 256;
constexpr UINT hx_executable_size = 40;

// Reads InstallDir and Executable of an edition ("LatestPro" or "LatestEZ"). 0 when found,
// -1 when not; both outputs are emptied first.
int32_t read_install_info(const char* edition, char (&install_folder)[hx_install_folder_size],
                          char (&executable)[hx_executable_size]);

// Appends "\" to a non-empty folder whose last character is not "\"; `capacity` bounds it.
void append_backslash(char* folder, size_t capacity);

// Posts the profile's message to a running encoder's main window. True if one was found;
// `process` then holds the encoder's process when it could be opened.
bool hx_wake_encoder(const hx_encoder_profile& profile, hx_handle* process);

// Starts the installed encoder (checks, registry, existence, start). False after an error
// message was shown. On success `process` holds the started encoder's process.
bool hx_launch_encoder(const hx_encoder_profile& profile, hx_handle* process);

// The QuickTime component's whole sequence: wake a running encoder, or start one.
bool find_or_launch_encoder(hx_handle* process = nullptr);

// The bridges' own settings key, looked up under HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE;
// only ever read.
constexpr char hx_settings_key[] = "SOFTWARE\\Halvex\\Tessora Bridges";
constexpr char hx_wait_value[] = "EncoderWaitSeconds";
// Long enough for a working encoder's longest pause (closing a large output file before its
// end request), short enough that a user of a silent one is asked before guessing.
constexpr DWORD hx_default_wait_seconds = 120;

// How long an export waits for the encoder's next request before it asks the user, in
// milliseconds for hx_semaphore::set_time_limit: the REG_DWORD value EncoderWaitSeconds of the
// settings key (the first of the two roots that holds one), else the default; 0 there means
// no limit (INFINITE).
DWORD hx_encoder_wait_limit();

// Tells the user that the encoder has sent nothing for `limit_ms` and asks whether to wait
// again, with the profile's caption and owner (Retry and Cancel). True for Retry.
bool hx_keep_waiting(const hx_encoder_profile& profile, DWORD limit_ms);
