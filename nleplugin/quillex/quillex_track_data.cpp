// Request 2: one frame, a run of sound samples or a piece of a 'MAML' text from a track's data
// procedure, copied once from the host's buffer into the data block.
#include "quillex_diagnostic.h"
#include "quillex_export.h"
#include "quillex_protocol.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr OSType raw = hx_fourcc("raw ");
constexpr OSType rgba = hx_fourcc("RGBA");
constexpr OSType argb32 = 32;
constexpr OSType twos = hx_fourcc("twos");
constexpr OSType sowt = hx_fourcc("sowt");

int32_t refuse(const char* message, int line)
{
    quillex_diagnostic(message, paramErr, line);
    return paramErr;
}

// Where the text's bytes for this answer come from and how many go.
struct text_piece {
    uint32_t offset;
    uint32_t length;
};

}  // namespace

int32_t GetTrackData(QuillexGlobals& g, uint8_t* param, uint8_t* data)
{
    // Every field the encoder wrote is read once; the values checked are the values used.
    const int32_t track_id = quillex_read<int32_t>(param, offsetof(quillex_param_block, track_id));
    const int32_t asked_time = quillex_read<int32_t>(param, offsetof(quillex_param_block, time));
    const int32_t asked_count = quillex_read<int32_t>(param, offsetof(quillex_param_block, count));
    TrackRecord* const record = g.track(track_id);
    if (record == nullptr)
        return refuse("GetTrackData: no track with that ID", 676);

    MovieExportGetDataParams request = quillex_data_request(*record);
    if (record->media_type == quillex_maml) {
        // A text track is always its first sample; the encoder's time and count do not apply.
        request.requestedTime = 0;
        request.requestedSampleCount = 1;
    } else {
        request.requestedTime = asked_time;
        request.requestedSampleCount = asked_count;
    }
    const OSErr error = record->data_proc(record->reference, &request);
    // How far the encoder has come in this track: to the end of what it got, or to where it
    // asked when the host had nothing there.
    const int64_t reached =
        error == noErr
            ? static_cast<int64_t>(request.actualTime) +
                  static_cast<int64_t>(std::max(request.actualSampleCount, 1)) * request.durationPerSample
            : static_cast<int64_t>(asked_time);
    record->asked_end = std::max(record->asked_end, reached);
    if (error != noErr) {
        quillex_diagnostic("GetTrackData: Error getting sample data", error, 691);
        return error;
    }

    // What the procedure handed back is checked before either block is touched.
    uint8_t header[quillex_image_header];
    if (!quillex_read_description(request.desc, header, sizeof header))
        return refuse("GetTrackData: no sample description", 696);
    const uint32_t block_size = g.data_block_size;
    if (request.dataSize < 0 || (request.dataSize > 0 && request.dataPtr == nullptr))
        return refuse("GetTrackData: no sample data", 698);
    const uint32_t size = static_cast<uint32_t>(request.dataSize);
    const OSType type = request.descType;

    if (type == quillex_maml) {
        text_piece piece{0, size};
        if (size >= block_size) {
            // A text at least as long as the block goes in pieces the encoder asks for by offset.
            const uint32_t asked = static_cast<uint32_t>(asked_time);
            if (asked >= size)
                return refuse("GetTrackData: text offset past the end of the text", 703);
            piece = {asked, std::min(size - asked, block_size - 1)};
        }
        std::memcpy(data, request.dataPtr + piece.offset, piece.length);
        data[piece.length] = 0;
        quillex_write(param, offsetof(quillex_param_block, time), piece.offset);
        quillex_write(param, offsetof(quillex_param_block, count), piece.length);
    } else {
        if (size > block_size)
            return refuse("GetTrackData: sample data does not fit the data block", 712);
        quillex_write(param, offsetof(quillex_param_block, time), request.actualTime);
        quillex_write(param, offsetof(quillex_param_block, count), request.actualSampleCount);
        std::memcpy(data, request.dataPtr, size);
    }
    quillex_write(param, offsetof(quillex_param_block, duration_per_sample), request.durationPerSample);
    quillex_write(param, offsetof(quillex_param_block, data_size), request.dataSize);

    // The format is checked after the copy: a refused sample still stands in the blocks.
    uint8_t* const description = param + offsetof(quillex_param_block, description);
    const OSType format = quillex_read<uint32_t>(header, offsetof(ImageDescription, cType));
    switch (type) {
    case quillex_vide:
    case quillex_grol:
        if (format != argb32 && format != rgba && format != raw)
            return refuse("GetTrackData: image data is in an invalid format",
                          type == quillex_vide ? 746 : 783);
        std::memcpy(description, header, quillex_image_header);
        if (format == raw)
            quillex_write<uint32_t>(description, offsetof(ImageDescription, cType), argb32);
        return noErr;
    case quillex_soun:
        if (format != twos && format != sowt)
            return refuse("GetTrackData: sound data is in an invalid format", 764);
        std::memcpy(description, header, quillex_sound_header);
        return noErr;
    case quillex_maml:
        std::memcpy(description, header, quillex_maml_header);
        return noErr;
    default:
        return refuse("GetTrackData: data is not of a recognized type", 797);
    }
}
