// The encoder's half of a QuickTime export: general info, each track's info, then every sound
// sample and video frame by time, the 'MAML' text piece by piece and the first 'GROL' sample,
// then done. What it receives goes into an AVI file (video with the sound interleaved) and a
// text file.
#pragma once

#include "encoder_channel.h"
#include "session_options.h"

// 0 on success, 4 when an answer did not come in time, 5 when the end was answered wrongly, 7
// when the component answered that the user stopped the export. Only a session whose done
// request is answered as done leaves its files under their final names.
int run_quicktime_session(encoder_channel& channel, const session_options& options);
