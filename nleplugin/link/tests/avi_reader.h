// Reads an uncompressed AVI file back without the stand-in encoder's writer, for tests that
// check what an export delivered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct avi_contents {
    bool riff = false;          // a RIFF 'AVI ' file whose size field matches the file
    uint32_t total_frames = 0;  // from the main header
    int32_t width = 0, height = 0, bits = 0;
    uint32_t scale = 0, rate = 0;  // video stream header
    int32_t audio_channels = 0, audio_rate = 0, audio_bits = 0;
    std::vector<std::vector<uint8_t>> frames;  // each as stored: bottom-up rows, B, G, R, A
    std::vector<int16_t> samples;              // interleaved
    int audio_chunks = 0;
    bool has_index = false;
};

avi_contents read_avi(const std::string& path);
