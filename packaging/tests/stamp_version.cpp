// stamp_version FILE A.B.C.D
// Rewrites, in place, the version of a program's or library's version resource: the file and
// product versions of its fixed part and its "FileVersion" and "ProductVersion" texts. The
// installer test uses it to make a release with a higher version out of the built files
// without building them again. Nothing moves: a new text must fit where the old one was (a
// shorter one is padded with NULs), so the file keeps its size and everything after the
// resource, such as the component's appended resource fork, stays where it was.
// Exit status: 0 when stamped, 1 when the file has no version resource or a text does not fit,
// 2 for bad arguments.
//
//   PE file                                 version resource node (every node, 4-byte aligned)
//   0x3C        4   offset of "PE\0\0"      0   2   length of the node with its children
//   PE+6        2   number of sections      2   2   value length (characters for a text value)
//   PE+20       2   size of optional header 4   2   type: 1 text, 0 binary
//   PE+24+112   8   resource table RVA/size 6   ... key, UTF-16 with NUL; value; children
//   sections: 40 bytes each, virtual size 8, RVA 12, raw size 16, raw offset 20
//   resource directory: 16 bytes, named entries at 12 (2), ID entries at 14 (2), then 8-byte
//   entries (name or ID, offset; high bit: a subdirectory); data entry: RVA 0, size 4
//   VS_FIXEDFILEINFO: signature 0xFEEF04BD at 0, file version MS/LS at 8/12, product at 16/20
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

uint16_t get16(const bytes& b, size_t at)
{
    uint16_t v = 0;
    if (at + 2 <= b.size())
        std::memcpy(&v, &b[at], 2);
    return v;
}

uint32_t get32(const bytes& b, size_t at)
{
    uint32_t v = 0;
    if (at + 4 <= b.size())
        std::memcpy(&v, &b[at], 4);
    return v;
}

void put32(bytes& b, size_t at, uint32_t v)
{
    std::memcpy(&b[at], &v, 4);
}

size_t align4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

constexpr uint32_t rt_version = 16;
constexpr uint32_t fixed_signature = 0xFEEF04BDu;

// The file offset of an RVA, 0 when no section holds it.
size_t file_offset(const bytes& b, size_t sections, unsigned count, uint32_t rva)
{
    for (unsigned i = 0; i < count; ++i) {
        const size_t s = sections + 40 * i;
        const uint32_t size = get32(b, s + 8), base = get32(b, s + 12), raw = get32(b, s + 20);
        if (rva >= base && rva < base + size)
            return raw + (rva - base);
    }
    return 0;
}

// The first entry of a resource directory with this ID (any ID when `id` is 0); its offset
// field, or 0.
uint32_t directory_entry(const bytes& b, size_t directory, uint32_t id)
{
    const unsigned named = get16(b, directory + 12), ids = get16(b, directory + 14);
    for (unsigned i = 0; i < named + ids; ++i) {
        const size_t e = directory + 16 + 8 * i;
        if (e + 8 > b.size())
            return 0;
        const uint32_t name = get32(b, e);
        if (id == 0 || ((name & 0x80000000u) == 0 && name == id))
            return get32(b, e + 4);
    }
    return 0;
}

// Where the version resource sits in the file and how long it is; false when there is none.
bool find_version_resource(const bytes& b, size_t* at, size_t* size)
{
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
        return false;
    const size_t pe = get32(b, 0x3C);
    if (get32(b, pe) != 0x00004550u)
        return false;
    const unsigned count = get16(b, pe + 6);
    const size_t optional = pe + 24;
    if (get16(b, optional) != 0x10B)  // PE32
        return false;
    const size_t sections = optional + get16(b, pe + 20);
    const uint32_t table_rva = get32(b, optional + 112);
    const size_t root = file_offset(b, sections, count, table_rva);
    if (table_rva == 0 || root == 0)
        return false;
    size_t node = root;
    const uint32_t path[] = {rt_version, 0, 0};
    for (int level = 0; level < 3; ++level) {
        const uint32_t entry = directory_entry(b, node, path[level]);
        const bool subdirectory = (entry & 0x80000000u) != 0;
        if (entry == 0 || subdirectory != (level < 2))
            return false;
        node = root + (entry & 0x7FFFFFFFu);
    }
    const size_t data = file_offset(b, sections, count, get32(b, node));
    *size = get32(b, node + 4);
    *at = data;
    return data != 0 && data + *size <= b.size();
}

std::u16string key_at(const bytes& b, size_t at, size_t end, size_t* after)
{
    std::u16string key;
    size_t p = at;
    while (p + 2 <= end) {
        const char16_t c = static_cast<char16_t>(get16(b, p));
        p += 2;
        if (c == 0)
            break;
        key += c;
    }
    *after = p;
    return key;
}

struct stamp {
    uint32_t ms = 0, ls = 0;
    std::string text;
    int texts = 0;
    bool fixed = false;
    std::string error;
};

// Walks one node and its children, stamping what it finds.
void walk(bytes& b, size_t at, size_t end, stamp& s)
{
    const size_t length = get16(b, at);
    if (length < 6 || at + length > end)
        return;
    const size_t node_end = at + length;
    const size_t value_length = get16(b, at + 2);
    const bool text = get16(b, at + 4) == 1;
    size_t after_key = 0;
    const std::u16string key = key_at(b, at + 6, node_end, &after_key);
    const size_t value = align4(after_key);
    const size_t value_bytes = text ? value_length * 2 : value_length;
    if (key == u"VS_VERSION_INFO" && value_bytes >= 52 && get32(b, value) == fixed_signature) {
        put32(b, value + 8, s.ms);
        put32(b, value + 12, s.ls);
        put32(b, value + 16, s.ms);
        put32(b, value + 20, s.ls);
        s.fixed = true;
    } else if (text && (key == u"FileVersion" || key == u"ProductVersion") &&
               value + value_bytes <= node_end) {
        if (s.text.size() + 1 > value_length) {
            s.error = "the new version text is longer than the old one";
            return;
        }
        for (size_t i = 0; i < value_length; ++i) {
            const uint16_t c = i < s.text.size() ? static_cast<uint8_t>(s.text[i]) : 0;
            std::memcpy(&b[value + 2 * i], &c, 2);
        }
        ++s.texts;
    }
    for (size_t child = align4(value + value_bytes); child + 6 <= node_end && s.error.empty();) {
        const size_t child_length = get16(b, child);
        if (child_length == 0)
            break;
        walk(b, child, node_end, s);
        child = align4(child + child_length);
    }
}

bool parse_version(const char* text, stamp& s)
{
    unsigned v[4];
    char tail;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
        return false;
    for (unsigned n : v)
        if (n > 0xFFFF)
            return false;
    s.ms = v[0] << 16 | v[1];
    s.ls = v[2] << 16 | v[3];
    s.text = text;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    stamp s;
    if (argc != 3 || !parse_version(argv[2], s)) {
        std::fprintf(stderr, "usage: stamp_version FILE A.B.C.D\n");
        return 2;
    }
    bytes b;
    {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "stamp_version: cannot read %s\n", argv[1]);
            return 1;
        }
        b.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    size_t at = 0, size = 0;
    if (!find_version_resource(b, &at, &size)) {
        std::fprintf(stderr, "stamp_version: %s has no version resource\n", argv[1]);
        return 1;
    }
    walk(b, at, at + size, s);
    if (!s.error.empty() || !s.fixed || s.texts == 0) {
        std::fprintf(stderr, "stamp_version: %s: %s\n", argv[1],
                     !s.error.empty() ? s.error.c_str() : "the version resource has no version to stamp");
        return 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out) {
        std::fprintf(stderr, "stamp_version: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: version %s\n", argv[1], argv[2]);
    return 0;
}
