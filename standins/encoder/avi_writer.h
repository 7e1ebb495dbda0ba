// An uncompressed AVI file: 32-bit RGB video (bottom-up DIB rows) and 16-bit PCM audio,
// interleaved one video frame and its audio at a time, with an index.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class avi_writer {
public:
    avi_writer() = default;
    ~avi_writer();
    avi_writer(const avi_writer&) = delete;
    avi_writer& operator=(const avi_writer&) = delete;

    bool open(const std::string& path, int32_t width, int32_t height, int32_t rate_numerator,
              int32_t rate_denominator, int32_t audio_rate, int32_t audio_channels);
    // One frame of width * height pixels, top row first, 4 bytes a pixel.
    void add_frame(const uint8_t* top_down_pixels);
    // Interleaved 16-bit samples that belong with the last frame.
    void add_audio(const int16_t* samples, size_t sample_frames);
    bool close();

private:
    struct index_entry {
        uint32_t id, flags, offset, size;
    };
    void chunk(uint32_t id, const void* data, uint32_t size);
    void put32(uint32_t v);
    void put16(uint16_t v);
    void patch32(long at, uint32_t v);

    FILE* file_ = nullptr;
    int32_t width_ = 0, height_ = 0, channels_ = 0;
    uint32_t frames_ = 0, sample_frames_ = 0;
    long riff_size_at_ = 0, movi_size_at_ = 0, movi_start_ = 0;
    long total_frames_at_ = 0, video_length_at_ = 0, audio_length_at_ = 0;
    std::vector<index_entry> index_;
    std::vector<uint8_t> row_buffer_;
};
