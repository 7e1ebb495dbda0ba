// The steps of an export, run with the instance state locked for the whole export call.
// Each returns a 16-bit QuickTime error widened to 32 bits, 0 for success.
#pragma once

#include "hx_encoder_channel.h"
#include "quillex_globals.h"

#include <cstddef>
#include <cstdint>

int32_t SetTrackProperties(QuillexGlobals& globals);
int32_t GetTrackDuration(TrackRecord& record);
int32_t InitIpc(QuillexGlobals& globals, hx_encoder_channel& channel);
int32_t GetGeneralInfo(QuillexGlobals& globals, uint8_t* data);
int32_t GetTrackInfo(QuillexGlobals& globals, const uint8_t* param, uint8_t* data);
int32_t GetTrackData(QuillexGlobals& globals, uint8_t* param, uint8_t* data);

// Copies the first `count` bytes of a sample description into `out`; bytes the handle does not
// hold are zero. False, with nothing copied, when there is no description.
bool quillex_read_description(Handle description, uint8_t* out, size_t count);

// A cleared get-data request for a track: record size, track ID and source time scale.
MovieExportGetDataParams quillex_data_request(const TrackRecord& record);
