// Adding data sources and the export from them: preparing the tracks, the channel, bringing
// up the encoder and serving its requests until it is done.
#include "quillex_export.h"

#include "hx_encoder_locator.h"
#include "hx_handshake.h"
#include "hx_qt_handle.h"
#include "hx_quicktime.h"
#include "quillex_diagnostic.h"
#include "quillex_handlers.h"
#include "quillex_protocol.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr Fixed fixed_whole = 0x10000;

// How much of the movie the encoder has asked for: the seconds of picture and sound it has
// asked for over the seconds there are, each 'vide' and 'soun' track by its own time scale.
// 'MAML' (asked by byte offset, in a few pieces) and 'GROL' (whose samples an encoder may
// leave unread) do not count. Never lower than the last report, and short of the whole until
// the done request, so that 100 % means finished.
Fixed export_progress(QuillexGlobals& g)
{
    double asked = 0, total = 0;
    for (const TrackRecord* record : g.track_index) {
        if (record->media_type != quillex_vide && record->media_type != quillex_soun)
            continue;
        const int64_t duration = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(record->duration_hi)) << 32) | record->duration_lo);
        if (duration <= 0 || record->time_scale <= 0)
            continue;
        asked += static_cast<double>(std::min(record->asked_end, duration)) / record->time_scale;
        total += static_cast<double>(duration) / record->time_scale;
    }
    const Fixed now =
        total > 0 ? std::min(static_cast<Fixed>(asked / total * fixed_whole), fixed_whole - 1) : 0;
    g.progress_reported = std::max(g.progress_reported, now);
    return g.progress_reported;
}

// Registered on semaphore A while a progress procedure is set: the wait calls it about ten
// times a second, also while the encoder is silent, so the host keeps its window answering
// and can ask to stop (a non-zero answer).
LONG __cdecl ProgressIdleCallback(uintptr_t context)
{
    const Handle storage = reinterpret_cast<Handle>(context);
    // The export holds the storage locked as well; nothing of it is used after the host's
    // procedure, which may call the runtime.
    const hx_qt_locked_handle locked(storage);
    QuillexGlobals& g = *quillex_globals(locked.block());
    const MovieProgressProc progress = g.progress_proc;
    if (progress == nullptr)
        return 0;
    const Fixed percent = export_progress(g);
    const int32_t reference = g.progress_reference;
    return progress(nullptr, movieProgressUpdatePercent, progressOpExportMovie, percent, reference) != noErr
               ? 1
               : 0;
}

size_t description_bytes(OSType media_type)
{
    switch (media_type) {
    case quillex_soun:
        return quillex_sound_header;
    case quillex_maml:
        return quillex_maml_header;
    default:
        return quillex_image_header;
    }
}

uint32_t status_of(int32_t error)
{
    return error == eofErr ? quillex_end_of_data : error != noErr ? quillex_failed : quillex_served;
}

// One export's request loop.
class export_loop {
public:
    export_loop(QuillexGlobals& globals, hx_encoder_channel& channel) : g_(globals), channel_(channel) {}

    // The result of the export once the loop has ended.
    int32_t run()
    {
        const DWORD limit = hx_encoder_wait_limit();
        channel_.semaphore_a().set_time_limit(limit);
        const hx_loop_end end = hx_serve_requests(
            channel_.semaphore_a(), channel_.semaphore_b(), channel_.param_memory(),
            [this](uint32_t code) { return serve(code); },
            [limit] { return hx_keep_waiting(hx_quicktime_profile, limit); });
        if (end == hx_loop_end::done) {
            finished_ = true;
            return remembered_;
        }
        if (end == hx_loop_end::stopped) {
            // The host's Stop: the encoder's pending or next request is answered as stopped, so
            // that it neither takes the export for finished nor waits on for an answer.
            hx_tell_stopped(channel_.semaphore_a(), channel_.semaphore_b(), [this] {
                uint8_t* const param = channel_.param_memory().data();
                quillex_write<uint32_t>(param, offsetof(quillex_param_block, request), quillex_done_request);
                quillex_write<uint32_t>(param, offsetof(quillex_param_block, status), hx_status_stopped);
            });
            quillex_diagnostic("Export stopped: the progress procedure asked to cancel", userCanceledErr,
                               303);
            return userCanceledErr;
        }
        if (end == hx_loop_end::cancelled) {
            quillex_diagnostic("Export cancelled: the encoder stopped answering", userCanceledErr, 296);
            return userCanceledErr;
        }
        // The encoder went away before it said it was done: the output is incomplete, which
        // the host must hear of even when the last request had been served well.
        const int32_t error = remembered_ != noErr ? remembered_ : ioErr;
        quillex_diagnostic("Error in QuillexFromProceduresToDataRef", error, 311);
        return error;
    }
    // Whether the encoder said it was done.
    bool finished() const { return finished_; }

private:
    hx_turn serve(uint32_t code)
    {
        uint8_t* const param = channel_.param_memory().data();
        uint8_t* const data = channel_.data_memory().data();
        int32_t error = noErr;
        hx_turn turn = hx_turn::answer;
        switch (code) {
        case quillex_general_info_request:
            error = GetGeneralInfo(g_, data);
            break;
        case quillex_track_info_request:
            error = GetTrackInfo(g_, param, data);
            break;
        case quillex_track_data_request:
            error = GetTrackData(g_, param, data);
            if (error != noErr)
                quillex_diagnostic("Error getting track data", error, 268);
            break;
        case quillex_done_request:
            turn = hx_turn::answer_and_stop;
            break;
        default:
            quillex_diagnostic("Unrecognized data request", -1, 275);
            quillex_write<uint32_t>(param, offsetof(quillex_param_block, request), quillex_done_request);
            turn = hx_turn::answer_and_stop;
            break;
        }
        quillex_write<uint32_t>(param, offsetof(quillex_param_block, status), status_of(error));
        remembered_ = error;
        return turn;
    }

    QuillexGlobals& g_;
    hx_encoder_channel& channel_;
    int32_t remembered_ = noErr;
    bool finished_ = false;
};

int32_t export_from_procedures(Handle storage)
{
    hx_encoder_channel channel;
    const hx_qt_locked_handle locked(storage);
    QuillexGlobals& g = *quillex_globals(locked.block());

    int32_t error = SetTrackProperties(g);
    if (error != noErr) {
        quillex_diagnostic("Failed to set track properties", error, 211);
        return error;
    }
    error = InitIpc(g, channel);
    if (error != noErr) {
        channel.close_all();
        quillex_diagnostic("Failed to initialize IPC communication", error, 220);
        return error;
    }
    hx_handle encoder;
    if (!find_or_launch_encoder(&encoder)) {
        channel.close_all();
        quillex_diagnostic("Failed to launch tessora", fnfErr, 230);
        return fnfErr;
    }

    const MovieProgressProc progress = g.progress_proc;
    const int32_t reference = g.progress_reference;
    g.progress_reported = 0;
    if (progress != nullptr) {
        channel.semaphore_a().set_callback(ProgressIdleCallback, reinterpret_cast<uintptr_t>(storage));
        progress(nullptr, movieProgressOpen, progressOpExportMovie, 0, reference);
    }
    // A dead encoder ends the wait instead of blocking the host for ever.
    channel.semaphore_a().watch(encoder.get());
    export_loop loop(g, channel);
    error = loop.run();
    if (progress != nullptr) {
        // The whole only once the encoder is done; a stop asked for now changes nothing.
        if (loop.finished())
            progress(nullptr, movieProgressUpdatePercent, progressOpExportMovie, fixed_whole, reference);
        progress(nullptr, movieProgressClose, progressOpExportMovie, 0, reference);
    }
    channel.close_all();
    return error;
}

}  // namespace

bool quillex_read_description(Handle description, uint8_t* out, size_t count)
{
    if (description == nullptr)
        return false;
    // Asked first: a runtime call may move the host's block, so it is read only after.
    const long held = GetHandleSize(description);
    const char* const block = *description;
    if (block == nullptr)
        return false;
    const size_t n = held <= 0 ? 0 : std::min(count, static_cast<size_t>(held));
    std::memcpy(out, block, n);
    std::memset(out + n, 0, count - n);
    return true;
}

MovieExportGetDataParams quillex_data_request(const TrackRecord& record)
{
    MovieExportGetDataParams request;
    std::memset(&request, 0, sizeof request);
    request.recordSize = sizeof request;
    request.trackID = record.track_id;
    request.sourceTimeScale = record.time_scale;
    return request;
}

int32_t SetTrackProperties(QuillexGlobals& g)
{
    for (TrackRecord* record : g.track_index) {
        record->asked_end = 0;
        MovieExportGetDataParams request = quillex_data_request(*record);
        request.requestedTime = 0;
        request.requestedSampleCount = 1;
        const OSErr error = record->data_proc(record->reference, &request);
        if (error != noErr) {
            quillex_diagnostic("SetTrackProperties: Could not get SampleDescription", error, 527);
            return error;
        }
        uint8_t description[quillex_description_area] = {};
        if (!quillex_read_description(request.desc, description, description_bytes(record->media_type))) {
            quillex_diagnostic("SetTrackProperties: Could not get SampleDescription", paramErr, 527);
            return paramErr;
        }
        std::memcpy(record->description, description, sizeof description);
        GetTrackDuration(*record);
    }
    return noErr;
}

int32_t GetTrackDuration(TrackRecord& record)
{
    TimeRecord time;
    std::memset(&time, 0, sizeof time);
    if (record.property_proc(record.reference, 0, hx_fourcc("dura"), &time) == noErr) {
        record.duration_lo = time.value_lo;
        record.duration_hi = time.value_hi;
        return noErr;
    }

    // Search for the end with the data procedure. A probe that leaves the interval as it was
    // would be asked again for ever (a host that answers every time past the end with its last
    // sample), so the search ends there; an honest host needs 32 probes at most.
    MovieExportGetDataParams request = quillex_data_request(record);
    int64_t low = 0, high = 0x7FFFFFFF, t = 0x7FFFFFFF;
    for (int probes = 0; high > low + 1 && probes < 64; ++probes) {
        request.requestedTime = static_cast<int32_t>(t);
        request.requestedSampleCount = 1;
        if (record.data_proc(record.reference, &request) != noErr)
            high = t;
        else
            low = static_cast<int64_t>(request.actualTime) + request.durationPerSample;
        const int64_t next = low + (high - low) / 2;
        if (next == t)
            break;
        t = next;
    }
    record.duration_lo = static_cast<uint32_t>(std::max<int64_t>(0, std::min<int64_t>(low, UINT32_MAX)));
    record.duration_hi = 0;
    return noErr;
}

int32_t InitIpc(QuillexGlobals& g, hx_encoder_channel& channel)
{
    uint32_t size = quillex_min_data_size;
    for (const TrackRecord& record : g.video_tracks)
        size =
            std::max(size, quillex_read<uint32_t>(record.description, offsetof(ImageDescription, dataSize)));
    if (channel.open_or_create(hx_mode_create, quillex_param_size, size, quillex_channel_prefix) !=
        hx_channel_created) {
        quillex_diagnostic("InitIpc: could not create IPC components", memFullErr, 853);
        return memFullErr;
    }
    g.data_block_size = size;
    return noErr;
}

int32_t GetGeneralInfo(QuillexGlobals& g, uint8_t* data)
{
    quillex_write<uint32_t>(data, offsetof(quillex_general_info, track_count), g.track_count());
    std::memcpy(data + offsetof(quillex_general_info, settings), &g.settings, sizeof g.settings);
    return noErr;
}

int32_t GetTrackInfo(QuillexGlobals& g, const uint8_t* param, uint8_t* data)
{
    const TrackRecord* record =
        g.track(quillex_read<int32_t>(param, offsetof(quillex_param_block, track_id)));
    if (record == nullptr) {
        quillex_diagnostic("GetTrackInfo: no track with that ID", paramErr, 880);
        return paramErr;
    }
    quillex_write(data, offsetof(quillex_track_info, track_id), record->track_id);
    quillex_write(data, offsetof(quillex_track_info, time_scale), record->time_scale);
    quillex_write(data, offsetof(quillex_track_info, duration_lo), record->duration_lo);
    quillex_write(data, offsetof(quillex_track_info, duration_hi), record->duration_hi);
    quillex_write<uint32_t>(data, offsetof(quillex_track_info, media_type), record->media_type);
    std::memcpy(data + offsetof(quillex_track_info, description), record->description,
                sizeof record->description);
    // Where the host's procedures and reference would stand: cleared.
    std::memset(data + offsetof(quillex_track_info, zero), 0, sizeof(quillex_track_info::zero));
    return noErr;
}

extern "C" {

ComponentResult __cdecl QuillexAddDataSource(Handle storage, OSType media_type, int32_t scale,
                                             int32_t* track_id, MovieExportGetPropertyProc property_proc,
                                             MovieExportGetDataProc data_proc, void* reference)
{
    if (property_proc == nullptr || data_proc == nullptr) {
        quillex_diagnostic("getPropertyProc or getDataProc undefined", paramErr, 328);
        return paramErr;
    }
    if (storage == nullptr)
        return paramErr;
    return quillex_guarded([&]() -> ComponentResult {
        const hx_qt_locked_handle locked(storage);
        QuillexGlobals& g = *quillex_globals(locked.block());
        std::vector<TrackRecord>* list = g.list_for(media_type);
        if (list == nullptr) {
            quillex_diagnostic("Error in QuillexAddDataSource", paramErr, 380);
            return paramErr;
        }
        if (!list->empty())
            return noErr;
        TrackRecord record;
        record.track_id = g.next_track_id;
        record.time_scale = scale;
        record.media_type = media_type;
        record.property_proc = property_proc;
        record.data_proc = data_proc;
        record.reference = reference;
        // Both allocations before either list changes, so a failure leaves the state whole.
        g.track_index.reserve(g.track_index.size() + 1);
        list->push_back(record);
        g.track_index.push_back(&list->back());
        ++g.next_track_id;
        if (track_id != nullptr)
            *track_id = record.track_id;
        return noErr;
    });
}

ComponentResult __cdecl QuillexFromProceduresToDataRef(Handle storage, Handle, OSType)
{
    if (storage == nullptr)
        return paramErr;
    return quillex_guarded([&]() -> ComponentResult { return export_from_procedures(storage); });
}

}  // extern "C"
