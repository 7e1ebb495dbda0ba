// The encoder's half of a Premiere export: it asks for formats, timing, the setting, the
// markers, every channel's audio, every frame and the backward walk, then ends, and writes what
// it received as an AVI file and a markers file.
#pragma once

#include "encoder_channel.h"

#include <cstdint>
#include <string>

struct premiere_session_options {
    std::string out_folder;       // where the AVI and markers files go ("" for none)
    DWORD reply_timeout = 30000;  // per request
    long die_after = -1;          // end the process abruptly after this many requests
    long hostile = 0;             // requests of random codes and words before the real ones
    uint32_t audio_chunk = 4800;  // sample frames per audio request
    long time_setting = 0;        // this many setting requests, timed, after the formats
};

// 0 on success, 4 when an answer did not come in time, 5 when an answer was refused.
int run_premiere_session(encoder_channel& channel, const premiere_session_options& options);
