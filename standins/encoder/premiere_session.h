// The encoder's half of a Premiere export: it asks for formats, timing, the setting, the
// markers, every channel's audio, every frame and the backward walk, then ends, and writes what
// it received as an AVI file and a markers file.
#pragma once

#include "encoder_channel.h"
#include "session_options.h"

// 0 on success, 4 when an answer did not come in time, 5 when an answer was refused, 7 when the
// module answered that the user stopped the export. Only a session that reaches its end request
// leaves its files under their final names.
int run_premiere_session(encoder_channel& channel, const session_options& options);
