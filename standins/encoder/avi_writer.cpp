#include "avi_writer.h"

#include <cstring>

namespace {

constexpr uint32_t fourcc(const char (&c)[5])
{
    return uint32_t(uint8_t(c[0])) | (uint32_t(uint8_t(c[1])) << 8) | (uint32_t(uint8_t(c[2])) << 16) |
           (uint32_t(uint8_t(c[3])) << 24);
}

}  // namespace

avi_writer::~avi_writer()
{
    close();
}

void avi_writer::put32(uint32_t v)
{
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, file_);
}

void avi_writer::put16(uint16_t v)
{
    const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
    std::fwrite(b, 1, 2, file_);
}

void avi_writer::patch32(long at, uint32_t v)
{
    const long here = std::ftell(file_);
    std::fseek(file_, at, SEEK_SET);
    put32(v);
    std::fseek(file_, here, SEEK_SET);
}

bool avi_writer::open(const std::string& path, int32_t width, int32_t height, int32_t rate_numerator,
                      int32_t rate_denominator, int32_t audio_rate, int32_t audio_channels)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr)
        return false;
    width_ = width;
    height_ = height;
    channels_ = audio_channels;
    const uint32_t frame_bytes = static_cast<uint32_t>(width) * height * 4;
    const uint16_t block_align = static_cast<uint16_t>(2 * audio_channels);

    put32(fourcc("RIFF"));
    riff_size_at_ = std::ftell(file_);
    put32(0);
    put32(fourcc("AVI "));

    const uint32_t strl_video = 4 + 8 + 56 + 8 + 40;
    const uint32_t strl_audio = 4 + 8 + 56 + 8 + 18;
    put32(fourcc("LIST"));
    put32(4 + 8 + 56 + 8 + strl_video + (audio_channels > 0 ? 8 + strl_audio : 0));
    put32(fourcc("hdrl"));

    put32(fourcc("avih"));
    put32(56);
    put32(rate_numerator > 0 ? static_cast<uint32_t>(1000000.0 * rate_denominator / rate_numerator) : 0);
    put32(0);     // max bytes per second
    put32(0);     // padding granularity
    put32(0x10);  // AVIF_HASINDEX
    total_frames_at_ = std::ftell(file_);
    put32(0);
    put32(0);
    put32(audio_channels > 0 ? 2 : 1);
    put32(frame_bytes);
    put32(static_cast<uint32_t>(width));
    put32(static_cast<uint32_t>(height));
    for (int i = 0; i < 4; ++i)
        put32(0);

    put32(fourcc("LIST"));
    put32(strl_video);
    put32(fourcc("strl"));
    put32(fourcc("strh"));
    put32(56);
    put32(fourcc("vids"));
    put32(fourcc("DIB "));
    put32(0);  // flags
    put32(0);  // priority, language
    put32(0);  // initial frames
    put32(static_cast<uint32_t>(rate_denominator));
    put32(static_cast<uint32_t>(rate_numerator));
    put32(0);  // start
    video_length_at_ = std::ftell(file_);
    put32(0);
    put32(frame_bytes);
    put32(0xFFFFFFFF);  // quality
    put32(0);           // sample size
    put16(0);
    put16(0);
    put16(static_cast<uint16_t>(width));
    put16(static_cast<uint16_t>(height));
    put32(fourcc("strf"));
    put32(40);
    put32(40);
    put32(static_cast<uint32_t>(width));
    put32(static_cast<uint32_t>(height));  // positive: rows bottom-up
    put16(1);
    put16(32);
    put32(0);  // BI_RGB
    put32(frame_bytes);
    put32(0);
    put32(0);
    put32(0);
    put32(0);

    if (audio_channels > 0) {
        put32(fourcc("LIST"));
        put32(strl_audio);
        put32(fourcc("strl"));
        put32(fourcc("strh"));
        put32(56);
        put32(fourcc("auds"));
        put32(0);
        put32(0);
        put32(0);
        put32(0);
        put32(block_align);  // scale
        put32(static_cast<uint32_t>(audio_rate) * block_align);
        put32(0);
        audio_length_at_ = std::ftell(file_);
        put32(0);
        put32(static_cast<uint32_t>(audio_rate) * block_align);
        put32(0xFFFFFFFF);
        put32(block_align);
        put16(0);
        put16(0);
        put16(0);
        put16(0);
        put32(fourcc("strf"));
        put32(18);
        put16(1);  // WAVE_FORMAT_PCM
        put16(static_cast<uint16_t>(audio_channels));
        put32(static_cast<uint32_t>(audio_rate));
        put32(static_cast<uint32_t>(audio_rate) * block_align);
        put16(block_align);
        put16(16);
        put16(0);
    }

    put32(fourcc("LIST"));
    movi_size_at_ = std::ftell(file_);
    put32(0);
    movi_start_ = std::ftell(file_);
    put32(fourcc("movi"));
    row_buffer_.resize(frame_bytes);
    return true;
}

void avi_writer::chunk(uint32_t id, const void* data, uint32_t size)
{
    index_.push_back({id, 0x10, static_cast<uint32_t>(std::ftell(file_) - movi_start_), size});
    put32(id);
    put32(size);
    std::fwrite(data, 1, size, file_);
    if (size % 2 != 0)
        std::fputc(0, file_);
}

void avi_writer::add_frame(const uint8_t* top_down)
{
    if (file_ == nullptr)
        return;
    const size_t row = static_cast<size_t>(width_) * 4;
    for (int32_t y = 0; y < height_; ++y)
        std::memcpy(&row_buffer_[static_cast<size_t>(height_ - 1 - y) * row], top_down + y * row, row);
    chunk(fourcc("00db"), row_buffer_.data(), static_cast<uint32_t>(row_buffer_.size()));
    ++frames_;
}

void avi_writer::add_audio(const int16_t* samples, size_t sample_frames)
{
    if (file_ == nullptr || channels_ == 0 || sample_frames == 0)
        return;
    chunk(fourcc("01wb"), samples, static_cast<uint32_t>(sample_frames * channels_ * 2));
    sample_frames_ += static_cast<uint32_t>(sample_frames);
}

bool avi_writer::close()
{
    if (file_ == nullptr)
        return false;
    const long movi_end = std::ftell(file_);
    patch32(movi_size_at_, static_cast<uint32_t>(movi_end - movi_start_));
    put32(fourcc("idx1"));
    put32(static_cast<uint32_t>(index_.size() * 16));
    for (const index_entry& e : index_) {
        put32(e.id);
        put32(e.flags);
        put32(e.offset);
        put32(e.size);
    }
    const long end = std::ftell(file_);
    patch32(riff_size_at_, static_cast<uint32_t>(end - 8));
    patch32(total_frames_at_, frames_);
    patch32(video_length_at_, frames_);
    if (audio_length_at_ != 0)
        patch32(audio_length_at_, sample_frames_);
    const bool ok = std::ferror(file_) == 0;
    std::fclose(file_);
    file_ = nullptr;
    return ok;
}
