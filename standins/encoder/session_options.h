// What the command line asks of an export session, Premiere's or QuickTime's.
#pragma once

#include "encoder_log.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct session_options {
    std::string out_folder;       // where the AVI and text files go ("" for none)
    DWORD reply_timeout = 30000;  // per request
    long die_after = -1;          // end the process abruptly after this many requests
    long pause_after = -1;        // fall silent after this many requests, staying alive ...
    DWORD pause_ms = 60000;       // ... for this long, then go on
    long hostile = 0;             // requests of random codes and fields before the real ones
    uint32_t audio_chunk = 4800;  // sample frames per audio request
    long time_setting = 0;        // Premiere: this many setting requests, timed, after the frames
    bool fill_pattern = false;    // before each request, the pattern over every byte it does not use
    bool bench = false;           // ask and read each answer once: no files, no per-frame lines
    int32_t end_code = 3;         // QuickTime: the last request (3, or an unserved code)
    DWORD frame_delay = 0;        // work before each request, ms, as a slow encoder's compression
};

// Called before each request with the number already sent: --frame-delay works that long first,
// --die-after ends the process there, --pause-after falls silent there once, holding the
// channel, as a hung encoder would.
inline void before_request(const session_options& o, long requests)
{
    if (o.frame_delay != 0)
        Sleep(o.frame_delay);
    if (o.die_after >= 0 && requests >= o.die_after) {
        log_line("dying after %ld requests", requests);
        TerminateProcess(GetCurrentProcess(), 77);
    }
    if (requests == o.pause_after) {
        log_line("pausing %lu ms after %ld requests", static_cast<unsigned long>(o.pause_ms), requests);
        Sleep(o.pause_ms);
        log_line("resuming");
    }
}
