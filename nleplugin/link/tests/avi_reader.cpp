#include "avi_reader.h"

#include "test_process.h"

#include <cstring>

namespace {

using bytes = std::vector<uint8_t>;

uint32_t le32(const bytes& b, size_t at)
{
    return at + 4 <= b.size() ? uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
                                    (uint32_t(b[at + 3]) << 24)
                              : 0;
}

uint16_t le16(const bytes& b, size_t at)
{
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | (b[at + 1] << 8)) : 0;
}

std::string id(const bytes& b, size_t at)
{
    return at + 4 <= b.size() ? std::string(reinterpret_cast<const char*>(&b[at]), 4) : "";
}

void walk(const bytes& b, size_t from, size_t to, avi_contents& out, std::string& stream_type)
{
    for (size_t at = from; at + 8 <= to;) {
        const std::string ck = id(b, at);
        const uint32_t size = le32(b, at + 4);
        const size_t body = at + 8;
        if (body + size > to)
            return;
        if (ck == "LIST") {
            walk(b, body + 4, body + size, out, stream_type);
        } else if (ck == "avih") {
            out.total_frames = le32(b, body + 16);
        } else if (ck == "strh") {
            stream_type = id(b, body);
            if (stream_type == "vids") {
                out.scale = le32(b, body + 20);
                out.rate = le32(b, body + 24);
            }
        } else if (ck == "strf" && stream_type == "vids") {
            out.width = static_cast<int32_t>(le32(b, body + 4));
            out.height = static_cast<int32_t>(le32(b, body + 8));
            out.bits = le16(b, body + 14);
        } else if (ck == "strf" && stream_type == "auds") {
            out.audio_channels = le16(b, body + 2);
            out.audio_rate = static_cast<int32_t>(le32(b, body + 4));
            out.audio_bits = le16(b, body + 14);
        } else if (ck == "00db" || ck == "00dc") {
            out.frames.emplace_back(b.begin() + body, b.begin() + body + size);
        } else if (ck == "01wb") {
            const size_t n = size / 2;
            const size_t before = out.samples.size();
            out.samples.resize(before + n);
            std::memcpy(out.samples.data() + before, &b[body], n * 2);
            ++out.audio_chunks;
        } else if (ck == "idx1") {
            out.has_index = true;
        }
        at = body + size + (size & 1);
    }
}

}  // namespace

avi_contents read_avi(const std::string& path)
{
    const std::string text = read_file(path);
    const bytes b(text.begin(), text.end());
    avi_contents out;
    if (id(b, 0) != "RIFF" || id(b, 8) != "AVI " || le32(b, 4) + 8 != b.size())
        return out;
    out.riff = true;
    std::string stream_type;
    walk(b, 12, b.size(), out, stream_type);
    return out;
}
