// Quillex.qtx as QuickTime finds it on disk: the library image unchanged, then the resource
// fork, padding and trailer. Everything is read back here by hand, from the end of the file,
// without the tool that wrote it.
#include "test_process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

uint32_t be32(const bytes& b, size_t at)
{
    return (uint32_t(b.at(at)) << 24) | (uint32_t(b.at(at + 1)) << 16) | (uint32_t(b.at(at + 2)) << 8) |
           b.at(at + 3);
}
uint16_t be16(const bytes& b, size_t at)
{
    return static_cast<uint16_t>((b.at(at) << 8) | b.at(at + 1));
}
uint32_t le32(const bytes& b, size_t at)
{
    return b.at(at) | (uint32_t(b.at(at + 1)) << 8) | (uint32_t(b.at(at + 2)) << 16) |
           (uint32_t(b.at(at + 3)) << 24);
}
uint16_t le16(const bytes& b, size_t at)
{
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

bytes file_bytes(const std::string& path)
{
    const std::string text = read_file(path);
    return bytes(text.begin(), text.end());
}

// Big-endian builders for the expected resources.
struct be_writer {
    bytes out;
    be_writer& l(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<uint8_t>(v >> s));
        return *this;
    }
    be_writer& s(uint16_t v)
    {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    be_writer& t(const char (&code)[5])
    {
        return l((uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
                 (uint32_t(uint8_t(code[2])) << 8) | uint8_t(code[3]));
    }
    be_writer& p(const std::string& text)
    {
        out.push_back(static_cast<uint8_t>(text.size()));
        out.insert(out.end(), text.begin(), text.end());
        return *this;
    }
};

struct component_file {
    bytes file;
    uint32_t image_length = 0;
    uint32_t fork_offset = 0;
    uint32_t fork_length = 0;
    bytes fork;
    std::map<std::pair<std::string, uint16_t>, bytes> resources;
    std::vector<std::string> problems;

    explicit component_file(const std::string& path) : file(file_bytes(path)) { read(); }

    void read()
    {
        const size_t n = file.size();
        static const uint8_t magic[12] = {'m', 'k', 'Q', 'u', 'i', 'c', 'k', 'T', 'i', 'm', 'e', 0xAA};
        if (n < 48 || !std::equal(magic, magic + 12, file.end() - 12)) {
            problems.push_back("no magic at the end");
            return;
        }
        // Walk back over the 12-byte records to the zero record.
        for (size_t at = n - 24;; at -= 12) {
            const uint32_t type = be32(file, at);
            if (type == 0 && be32(file, at + 4) == 0 && be32(file, at + 8) == 0)
                break;
            if (type == 0x64617461) {  // 'data'
                if (be32(file, at + 4) != 0)
                    problems.push_back("image does not start the file");
                image_length = be32(file, at + 8);
            } else if (type == 0x72737263) {  // 'rsrc'
                fork_offset = be32(file, at + 4);
                fork_length = be32(file, at + 8);
            } else {
                problems.push_back("unknown trailer record");
                return;
            }
            if (at < 12)
                return;
        }
        fork.assign(file.begin() + fork_offset, file.begin() + fork_offset + fork_length);
        const uint32_t data_offset = be32(fork, 0), map_offset = be32(fork, 4);
        const uint32_t type_list = map_offset + be16(fork, map_offset + 24);
        const int types = be16(fork, type_list) + 1;
        for (int i = 0; i < types; ++i) {
            const size_t entry = type_list + 2 + 8 * static_cast<size_t>(i);
            const std::string type(reinterpret_cast<const char*>(&fork[entry]), 4);
            const int count = be16(fork, entry + 4) + 1;
            const size_t references = type_list + be16(fork, entry + 6);
            for (int r = 0; r < count; ++r) {
                const size_t ref = references + 12 * static_cast<size_t>(r);
                const uint16_t id = be16(fork, ref);
                if (be16(fork, ref + 2) != 0xFFFF || fork.at(ref + 4) != 0)
                    problems.push_back("resource " + type + " has a name or attributes");
                const uint32_t at =
                    data_offset + ((uint32_t(fork[ref + 5]) << 16) | (fork[ref + 6] << 8) | fork[ref + 7]);
                const uint32_t length = be32(fork, at);
                resources[{type, id}] = bytes(fork.begin() + at + 4, fork.begin() + at + 4 + length);
            }
        }
    }
};

std::string qtx_path()
{
    return bin_dir() + "Quillex.qtx";
}

// Where the PE file's own bytes end: the last section's raw data, or the symbol and string
// tables that follow it.
uint32_t pe_end(const bytes& f)
{
    const uint32_t pe = le32(f, 0x3C);
    const uint16_t sections = le16(f, pe + 6);
    const uint32_t symbols = le32(f, pe + 12), symbol_count = le32(f, pe + 16);
    const uint16_t optional = le16(f, pe + 20);
    uint32_t end = 0;
    for (uint16_t i = 0; i < sections; ++i) {
        const size_t s = pe + 24 + optional + 40 * size_t(i);
        end = std::max(end, le32(f, s + 20) + le32(f, s + 16));
    }
    if (symbols != 0) {
        const uint32_t strings = symbols + 18 * symbol_count;
        end = std::max(end, strings + le32(f, strings));
    }
    return end;
}

TEST(Registration, TrailerEndsTheFileAndPointsAtImageAndFork)
{
    const component_file c(qtx_path());
    ASSERT_TRUE(c.problems.empty()) << c.problems.front();
    EXPECT_EQ(c.file.size() % 512, 0u);
    EXPECT_EQ(c.fork_offset, c.image_length);
    // 1 to 512 zero bytes, then the zero record, between the fork and the trailer records.
    const size_t records = c.file.size() - 36;
    const size_t padding = records - 12 - (c.fork_offset + c.fork_length);
    EXPECT_GE(padding, 1u);
    EXPECT_LE(padding, 512u);
    for (size_t at = c.fork_offset + c.fork_length; at < records; ++at)
        ASSERT_EQ(c.file[at], 0) << "padding byte " << at;
    EXPECT_EQ(std::string(c.file.end() - 36, c.file.end() - 32), "data");
    EXPECT_EQ(std::string(c.file.end() - 24, c.file.end() - 20), "rsrc");
}

TEST(Registration, ImageIsTheLinkedLibraryUnchanged)
{
    const component_file c(qtx_path());
    ASSERT_TRUE(c.problems.empty());
    EXPECT_EQ(c.image_length, pe_end(c.file));
    // The library as linked, in the nested build of the shipped files.
    const bytes linked = file_bytes(bin_dir() + "..\\shipped\\nleplugin\\quillex\\Quillex.dll");
    ASSERT_EQ(linked.size(), c.image_length);
    EXPECT_TRUE(std::equal(linked.begin(), linked.end(), c.file.begin()));
    // Windows loads the file as it is, fork and all.
    const HMODULE loaded = LoadLibraryA(qtx_path().c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(GetProcAddress(loaded, "QuillexComponentDispatch"), nullptr);
    FreeLibrary(loaded);
}

TEST(Registration, ForkHoldsTheSixResourcesByteForByte)
{
    const component_file c(qtx_path());
    ASSERT_TRUE(c.problems.empty());
    EXPECT_EQ(be32(c.fork, 0), 256u);
    EXPECT_EQ(be32(c.fork, 4), 256u + be32(c.fork, 8));
    EXPECT_EQ(be32(c.fork, 4) + be32(c.fork, 12), c.fork_length);
    for (size_t i = 16; i < 256; ++i)
        ASSERT_EQ(c.fork[i], 0) << "reserved byte " << i;
    ASSERT_EQ(c.resources.size(), 6u);

    be_writer thng;
    thng.t("spit")
        .t("Duff")
        .l(0)
        .l(0)
        .l(0)
        .l(0)
        .s(0)
        .t("STR ")
        .s(512)
        .t("STR ")
        .s(513)
        .l(0)
        .s(0)
        .l(0)
        .l(8)
        .s(0)
        .l(1)
        .l(0x8000)
        .t("dlle")
        .s(512)
        .s(4)
        .t("thnr")
        .s(512);
    ASSERT_EQ(thng.out.size(), 76u);
    EXPECT_EQ(c.resources.at({"thng", 512}), thng.out);

    EXPECT_EQ(c.resources.at({"STR ", 512}), be_writer().p("Tessora").out);
    EXPECT_EQ(c.resources.at({"STR ", 513}),
              be_writer().p("Provides direct export to streaming formats via Tessora 5").out);

    be_writer sources;
    sources.l(4).l(0).t("vide").l(1).l(4).t("soun").l(1).l(4).t("MAML").l(1).l(4).t("GROL").l(1).l(4);
    EXPECT_EQ(c.resources.at({"src#", 1}), sources.out);

    be_writer map;
    map.t("src#").s(1).s(0).t("src#").s(1).s(0);
    EXPECT_EQ(c.resources.at({"thnr", 512}), map.out);

    const std::string entry = "QuillexComponentDispatch";
    bytes name(entry.begin(), entry.end());
    name.push_back(0);
    EXPECT_EQ(c.resources.at({"dlle", 512}), name);
}

TEST(Registration, ExportsExactlyTheDispatchEntry)
{
    const bytes f = file_bytes(qtx_path());
    const uint32_t pe = le32(f, 0x3C);
    const uint16_t optional = le16(f, pe + 20);
    const uint32_t export_rva = le32(f, pe + 24 + 96);
    const uint16_t sections = le16(f, pe + 6);
    auto offset_of = [&](uint32_t rva) -> size_t {
        for (uint16_t i = 0; i < sections; ++i) {
            const size_t s = pe + 24 + optional + 40 * size_t(i);
            const uint32_t va = le32(f, s + 12), size = le32(f, s + 8);
            if (rva >= va && rva < va + size)
                return rva - va + le32(f, s + 20);
        }
        return 0;
    };
    const size_t directory = offset_of(export_rva);
    ASSERT_NE(directory, 0u);
    EXPECT_EQ(le32(f, directory + 20), 1u) << "functions";
    ASSERT_EQ(le32(f, directory + 24), 1u) << "names";
    const size_t name = offset_of(le32(f, offset_of(le32(f, directory + 32))));
    EXPECT_STREQ(reinterpret_cast<const char*>(&f[name]), "QuillexComponentDispatch");
}

}  // namespace
