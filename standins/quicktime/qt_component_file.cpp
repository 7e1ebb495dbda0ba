#include "qt_component_file.h"

#include "hx_resource_fork.h"

#include <cstring>

namespace hx_qt {
namespace {

#pragma pack(push, 1)
struct resource_ref {
    hx_be32 type;
    hx_be16 id;
};

struct thng_record {
    hx_be32 type;
    hx_be32 subtype;
    hx_be32 manufacturer;
    hx_be32 flags;
    hx_be32 flags_mask;
    resource_ref code;
    resource_ref name;
    resource_ref info;
    resource_ref icon;
    hx_be32 version;
    hx_be32 registration_flags;
    hx_be16 icon_family;
    hx_be32 platform_count;
};

struct thng_platform {
    hx_be32 flags;
    resource_ref code;
    hx_be16 platform_type;
};
#pragma pack(pop)
static_assert(sizeof(resource_ref) == 6, "resource reference is 6 bytes");
static_assert(sizeof(thng_record) == 58, "'thng' record up to its platforms is 58 bytes");
static_assert(offsetof(thng_record, subtype) == 4, "");
static_assert(offsetof(thng_record, manufacturer) == 8, "");
static_assert(offsetof(thng_record, flags) == 12, "");
static_assert(offsetof(thng_record, flags_mask) == 16, "");
static_assert(offsetof(thng_record, code) == 20, "");
static_assert(offsetof(thng_record, name) == 26, "");
static_assert(offsetof(thng_record, info) == 32, "");
static_assert(offsetof(thng_record, icon) == 38, "");
static_assert(offsetof(thng_record, version) == 44, "");
static_assert(offsetof(thng_record, registration_flags) == 48, "");
static_assert(offsetof(thng_record, icon_family) == 52, "");
static_assert(offsetof(thng_record, platform_count) == 54, "");
static_assert(sizeof(thng_platform) == 12, "platform entry is 12 bytes");
static_assert(offsetof(thng_platform, code) == 4, "");
static_assert(offsetof(thng_platform, platform_type) == 10, "");

constexpr uint32_t type_data = hx_fourcc("data");
constexpr uint32_t type_rsrc = hx_fourcc("rsrc");
constexpr uint32_t type_thng = hx_fourcc("thng");
constexpr uint32_t type_dlle = hx_fourcc("dlle");
constexpr uint32_t type_str = hx_fourcc("STR ");
constexpr int thng_id = 512;
// More records than any packer writes: the walk back gives up there.
constexpr int max_trailer_records = 64;

template <typename T> T read_at(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// [offset, offset + length) inside [0, size).
bool inside(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

std::string fourcc_text(uint32_t type)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(type >> (24 - 8 * i));
        text[i] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

// A resource fork's map, checked as it is read.
class fork_reader {
public:
    fork_reader(const uint8_t* fork, uint32_t size) : fork_(fork), size_(size) {}

    bool open(std::string* reason)
    {
        if (size_ < sizeof(hx_fork_header)) {
            *reason = "the resource fork is shorter than its header";
            return false;
        }
        const hx_fork_header h = read_at<hx_fork_header>(fork_);
        data_offset_ = h.data_offset.get();
        data_length_ = h.data_length.get();
        map_offset_ = h.map_offset.get();
        map_length_ = h.map_length.get();
        if (!inside(data_offset_, data_length_, size_) || !inside(map_offset_, map_length_, size_)) {
            *reason = "the resource fork's data or map lies outside the fork";
            return false;
        }
        if (map_length_ < sizeof(hx_fork_map_header) + 2) {
            *reason = "the resource map is too short";
            return false;
        }
        const hx_fork_map_header m = read_at<hx_fork_map_header>(fork_ + map_offset_);
        type_list_ = m.type_list_offset.get();
        if (!inside(type_list_, 2, map_length_)) {
            *reason = "the resource type list lies outside the map";
            return false;
        }
        type_count_ = (hx_get_be16(map() + type_list_) + 1u) & 0xFFFFu;
        if (!inside(type_list_ + 2ull, uint64_t(type_count_) * sizeof(hx_fork_type_entry), map_length_)) {
            *reason = "the resource type list lies outside the map";
            return false;
        }
        return true;
    }

    // The bytes of resource (type, id); false with `reason` when it is missing or its
    // reference or data lie outside the fork.
    bool find(uint32_t type, int id, const uint8_t** data, uint32_t* length, std::string* reason) const
    {
        for (uint32_t t = 0; t < type_count_; ++t) {
            const hx_fork_type_entry entry =
                read_at<hx_fork_type_entry>(map() + type_list_ + 2 + t * sizeof(hx_fork_type_entry));
            if (entry.type.get() != type)
                continue;
            const uint32_t count = entry.count_minus_one.get() + 1u;
            const uint64_t references = uint64_t(type_list_) + entry.reference_list_offset.get();
            if (!inside(references, uint64_t(count) * sizeof(hx_fork_reference), map_length_)) {
                *reason = "the resource references of '" + fourcc_text(type) + "' lie outside the map";
                return false;
            }
            for (uint32_t r = 0; r < count; ++r) {
                const hx_fork_reference ref =
                    read_at<hx_fork_reference>(map() + references + r * sizeof(hx_fork_reference));
                if (ref.id.get() != static_cast<uint16_t>(id))
                    continue;
                const uint32_t offset = ref.data_offset.get();
                if (!inside(offset, 4, data_length_)) {
                    *reason = "the data of '" + fourcc_text(type) + "' " + std::to_string(id) +
                              " lies outside the fork";
                    return false;
                }
                const uint32_t n = hx_get_be32(fork_ + data_offset_ + offset);
                if (!inside(uint64_t(offset) + 4, n, data_length_)) {
                    *reason = "the data of '" + fourcc_text(type) + "' " + std::to_string(id) +
                              " lies outside the fork";
                    return false;
                }
                *data = fork_ + data_offset_ + offset + 4;
                *length = n;
                return true;
            }
        }
        *reason = "there is no '" + fourcc_text(type) + "' " + std::to_string(id) + " resource";
        return false;
    }

private:
    const uint8_t* map() const { return fork_ + map_offset_; }

    const uint8_t* fork_;
    uint32_t size_;
    uint32_t data_offset_ = 0;
    uint32_t data_length_ = 0;
    uint32_t map_offset_ = 0;
    uint32_t map_length_ = 0;
    uint32_t type_list_ = 0;
    uint32_t type_count_ = 0;
};

// A Pascal string resource, or "" when there is none.
std::string pascal_string(const fork_reader& fork, const resource_ref& ref)
{
    if (ref.type.get() != type_str)
        return std::string();
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    std::string ignored;
    if (!fork.find(type_str, static_cast<int16_t>(ref.id.get()), &data, &length, &ignored) || length == 0)
        return std::string();
    const uint32_t n = data[0] < length ? data[0] : length - 1;
    return std::string(reinterpret_cast<const char*>(data + 1), n);
}

}  // namespace

bool parse_component_file(const uint8_t* bytes, size_t size, component_registration* out, std::string* reason)
{
    const size_t record = sizeof(hx_fork_trailer_record);
    if (size < record || std::memcmp(bytes + size - record, hx_fork_magic, record) != 0) {
        *reason = "not a component file: it does not end in \"mkQuickTime\"";
        return false;
    }
    // Walk back over the records to the zero record.
    bool have_fork = false;
    uint32_t fork_offset = 0;
    uint32_t fork_length = 0;
    size_t at = size - record;
    for (int n = 0;; ++n) {
        if (at < record || n == max_trailer_records) {
            *reason = "the records before \"mkQuickTime\" run past the start of the file";
            return false;
        }
        at -= record;
        const hx_fork_trailer_record r = read_at<hx_fork_trailer_record>(bytes + at);
        const uint32_t type = r.type.get();
        if (type == 0)
            break;
        if (!inside(r.offset.get(), r.length.get(), at)) {
            *reason = "the trailer's '" + fourcc_text(type) + "' record lies outside the file";
            return false;
        }
        if (type == type_rsrc) {
            have_fork = true;
            fork_offset = r.offset.get();
            fork_length = r.length.get();
        } else if (type != type_data) {
            *reason = "the trailer holds an unknown record '" + fourcc_text(type) + "'";
            return false;
        }
    }
    if (!have_fork) {
        *reason = "the trailer has no 'rsrc' record";
        return false;
    }

    fork_reader fork(bytes + fork_offset, fork_length);
    if (!fork.open(reason))
        return false;
    const uint8_t* thng = nullptr;
    uint32_t thng_length = 0;
    if (!fork.find(type_thng, thng_id, &thng, &thng_length, reason))
        return false;
    if (thng_length < sizeof(thng_record)) {
        *reason = "'thng' 512 is shorter than 58 bytes";
        return false;
    }
    const thng_record t = read_at<thng_record>(thng);
    const uint32_t platforms = t.platform_count.get();
    if ((t.registration_flags.get() & componentHasMultiplePlatforms) == 0 || platforms == 0) {
        *reason = "'thng' 512 has no platform list, so no Win32 platform";
        return false;
    }
    if (platforms > (thng_length - sizeof(thng_record)) / sizeof(thng_platform)) {
        *reason = "'thng' 512 is shorter than its platform list";
        return false;
    }
    const thng_platform* win32 = nullptr;
    thng_platform entry;
    for (uint32_t i = 0; i < platforms && win32 == nullptr; ++i) {
        entry = read_at<thng_platform>(thng + sizeof(thng_record) + i * sizeof(thng_platform));
        if (entry.platform_type.get() == platformWin32)
            win32 = &entry;
    }
    if (win32 == nullptr) {
        *reason = "'thng' 512 has no Win32 platform";
        return false;
    }
    if (win32->code.type.get() != type_dlle) {
        *reason = "the Win32 platform's code resource is not a 'dlle'";
        return false;
    }
    const uint8_t* dlle = nullptr;
    uint32_t dlle_length = 0;
    if (!fork.find(type_dlle, static_cast<int16_t>(win32->code.id.get()), &dlle, &dlle_length, reason))
        return false;
    const void* end = std::memchr(dlle, 0, dlle_length);
    const size_t name_length = end ? static_cast<const uint8_t*>(end) - dlle : dlle_length;
    if (name_length == 0) {
        *reason = "the 'dlle' resource names no entry point";
        return false;
    }

    out->description.componentType = t.type.get();
    out->description.componentSubType = t.subtype.get();
    out->description.componentManufacturer = t.manufacturer.get();
    out->description.componentFlags = win32->flags.get();
    out->description.componentFlagsMask = t.flags_mask.get();
    out->version = t.version.get();
    out->entry_name.assign(reinterpret_cast<const char*>(dlle), name_length);
    out->name = pascal_string(fork, t.name);
    out->info = pascal_string(fork, t.info);
    return true;
}

}  // namespace hx_qt
