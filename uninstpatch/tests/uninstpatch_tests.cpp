// uninstpatch.exe run for real on files in a temporary folder.
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

std::string make_folder(const std::string& name)
{
    CreateDirectoryA(name.c_str(), nullptr);
    return name;
}

std::string new_folder(const std::string& tag)
{
    return make_folder(temp_file(tag));
}

void write_bytes(const std::string& path, const bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!data.empty())
        std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

bytes read_bytes(const std::string& path)
{
    const std::string text = read_file(path);
    return bytes(text.begin(), text.end());
}

// "<" and hyphens as UTF-16LE, `chars` characters long.
bytes placeholder(size_t chars)
{
    bytes out;
    for (size_t k = 0; k < chars; ++k) {
        out.push_back(k == 0 ? '<' : '-');
        out.push_back(0);
    }
    return out;
}

bytes filler(size_t count, uint8_t seed)
{
    bytes out(count);
    for (size_t k = 0; k < count; ++k)
        out[k] = static_cast<uint8_t>(seed + 7 * k + 1);
    return out;
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// What the patched file must hold: each text byte two bytes after the last, then a zero.
bytes patched(bytes data, size_t at, const std::string& text)
{
    for (size_t k = 0; k < text.size(); ++k)
        data[at + 2 * k] = static_cast<uint8_t>(text[k]);
    data[at + 2 * text.size()] = 0;
    return data;
}

// Runs the tool with `tail` after the quoted program name; returns its exit status.
DWORD run_tool(const std::string& tail)
{
    test_process tool;
    if (!tool.start(bin_dir() + "uninstpatch.exe", tail))
        return 0xFFFFFFFF;
    return tool.wait_exit(20000);
}

class Uninstpatch : public testing::Test {
protected:
    void SetUp() override { folder_ = new_folder("uninst"); }

    std::string dll() const { return folder_ + "\\uninst.dll"; }

    std::string folder_;
};

TEST_F(Uninstpatch, WritesTheFolderIntoThePlaceholderAndKeepsTheLength)
{
    const bytes original = join({filler(40, 1), placeholder(200), filler(33, 2)});
    write_bytes(dll(), original);

    EXPECT_EQ(run_tool(folder_), 0u);

    const bytes after = read_bytes(dll());
    ASSERT_EQ(after.size(), original.size());
    EXPECT_EQ(after, patched(original, 40, folder_));
    // The widened text reads back as the folder in UTF-16.
    std::wstring wide(reinterpret_cast<const wchar_t*>(after.data() + 40));
    EXPECT_EQ(std::string(wide.begin(), wide.end()), folder_);
}

TEST_F(Uninstpatch, FindsAPlaceholderAtAnOddOffset)
{
    const bytes original = join({filler(41, 3), placeholder(200), filler(9, 4)});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 41, folder_));
}

TEST_F(Uninstpatch, PatchesOnlyTheFirstOfTwoPlaceholders)
{
    const bytes original = join({filler(10, 5), placeholder(150), filler(6, 6), placeholder(150)});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 10, folder_));
}

TEST_F(Uninstpatch, IgnoresTheBytesBetweenTheTestedOnes)
{
    bytes window = placeholder(150);
    for (size_t k = 1; k < 17; k += 2)
        window[k] = static_cast<uint8_t>(0xC0 + k);
    const bytes original = join({filler(8, 7), window});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 8, folder_));
}

TEST_F(Uninstpatch, LeavesTheFileAloneWithoutAPlaceholder)
{
    // Eight hyphens after the sign are needed; seven are not enough.
    bytes almost = placeholder(150);
    almost[16] = '+';
    const bytes original = join({filler(30, 8), almost, filler(30, 9)});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), original);
}

TEST_F(Uninstpatch, LeavesEmptyAndSixteenByteFilesAlone)
{
    write_bytes(dll(), {});
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()).size(), 0u);

    // Sixteen bytes of a placeholder hold no whole window.
    bytes sixteen = placeholder(8);
    write_bytes(dll(), sixteen);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), sixteen);
}

TEST_F(Uninstpatch, TakesAFolderWithBlanksWhole)
{
    const std::string spaced = make_folder(folder_ + "\\Program Files\\My  App");
    ASSERT_TRUE(CreateDirectoryA((folder_ + "\\Program Files").c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    make_folder(spaced);
    const bytes original = join({filler(4, 10), placeholder(250)});
    write_bytes(spaced + "\\uninst.dll", original);

    EXPECT_EQ(run_tool(spaced), 0u);
    EXPECT_EQ(read_bytes(spaced + "\\uninst.dll"), patched(original, 4, spaced));
}

TEST_F(Uninstpatch, KeepsATrailingBackslashInTheText)
{
    const bytes original = join({filler(4, 11), placeholder(200)});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_ + "\\"), 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 4, folder_ + "\\"));
}

TEST_F(Uninstpatch, QuotesBecomePartOfTheNameSoNothingIsFound)
{
    const bytes original = join({filler(4, 12), placeholder(200)});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool("\"" + folder_ + "\""), 0u);
    EXPECT_EQ(read_bytes(dll()), original);
}

TEST_F(Uninstpatch, BlanksAfterTheProgramNameAreSkipped)
{
    const bytes original = join({filler(4, 13), placeholder(200)});
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(" \t  " + folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 4, folder_));
}

TEST_F(Uninstpatch, WithoutAnArgumentNothingIsTouched)
{
    const bytes original = join({filler(4, 14), placeholder(200)});
    write_bytes(dll(), original);
    // The tool runs in a folder that holds an uninst.dll of its own.
    test_process tool;
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(folder_.c_str());
    const bool started = tool.start(bin_dir() + "uninstpatch.exe", "");
    SetCurrentDirectoryA(previous);
    ASSERT_TRUE(started);
    EXPECT_EQ(tool.wait_exit(20000), 0u);
    EXPECT_EQ(read_bytes(dll()), original);
}

TEST_F(Uninstpatch, MissingFileEndsQuietly)
{
    EXPECT_EQ(run_tool(folder_ + "\\nowhere"), 0u);
    EXPECT_EQ(GetFileAttributesA((folder_ + "\\nowhere\\uninst.dll").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Uninstpatch, FileThatCannotBeReopenedForWritingIsLeftAlone)
{
    // Another program has the file open and lets others read it but not write it: the
    // read succeeds, the reopen for writing does not. (A read-only attribute would do the same
    // on Windows; Wine running as root writes through it.)
    const bytes original = join({filler(4, 15), placeholder(200)});
    write_bytes(dll(), original);
    const HANDLE holder = CreateFileA(dll().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // The tool's two opens, with the sharing of OpenFile's compatibility mode.
    for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
        const HANDLE mine = CreateFileA(dll().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(mine != INVALID_HANDLE_VALUE, access == GENERIC_READ);
        if (mine != INVALID_HANDLE_VALUE)
            CloseHandle(mine);
    }
    const DWORD status = run_tool(folder_);
    CloseHandle(holder);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(read_bytes(dll()), original);
}

// Compatibility sharing, as the tool has always opened the file: another program may hold it
// open for reading and writing while the tool works, as long as it shares both.
TEST_F(Uninstpatch, AFileOthersHoldOpenToReadAndWriteIsPatched)
{
    const bytes original = join({filler(4, 18), placeholder(200)});
    write_bytes(dll(), original);
    const HANDLE holder =
        CreateFileA(dll().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const DWORD status = run_tool(folder_);
    CloseHandle(holder);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 4, folder_));
}

// The name holds up to 259 characters, so the folder may have 248. OpenFile, which the tool once
// opened the file with, keeps the name in a record of 128 bytes and refuses it from 128
// characters on (a folder of 117), under Wine as on Windows.
TEST(UninstpatchLongFolders, FoldersUpToTheLongestTheNameHoldsArePatched)
{
    for (const size_t length : {size_t{116}, size_t{117}, size_t{248}}) {
        const folder_of_length folder(length, "uninst");
        const std::string dll = folder.path() + "\\uninst.dll";
        ASSERT_EQ(dll.size(), length + 11);
        const bytes original = join({filler(12, 19), placeholder(300), filler(5, 20)});
        write_bytes(dll, original);
        OFSTRUCT record{};
        const HFILE old = OpenFile(dll.c_str(), &record, OF_READ);
        EXPECT_EQ(old == HFILE_ERROR, dll.size() >= 128) << dll.size();
        if (old != HFILE_ERROR)
            _lclose(old);

        EXPECT_EQ(run_tool(folder.path()), 0u);
        const bytes after = read_bytes(dll);
        EXPECT_EQ(after.size(), original.size()) << dll.size();
        EXPECT_EQ(after, patched(original, 12, folder.path())) << dll.size();
    }
}

TEST_F(Uninstpatch, FolderTooLongForTheNameBufferTouchesNothing)
{
    // 249 bytes leave no room for "\uninst.dll" and the terminator in 260. A file that a
    // truncated name could reach sits where the cut would fall.
    const bytes original = join({filler(4, 16), placeholder(300)});
    write_bytes(dll(), original);
    std::string text = folder_ + "\\uninst.dll";
    text.resize(249, 'x');
    EXPECT_EQ(run_tool(text), 0u);
    EXPECT_EQ(read_bytes(dll()), original);

    EXPECT_EQ(run_tool(std::string(5000, 'a')), 0u);
}

TEST_F(Uninstpatch, TextThatWouldRunPastTheEndOfTheDataTouchesNothing)
{
    // The placeholder is found, but the widened folder and its terminator need 2n + 1 bytes.
    const size_t room = 2 * folder_.size();  // one byte short
    bytes original = join({filler(6, 17), placeholder(9)});
    original.resize(6 + room, '-');
    for (size_t k = 6 + 18; k < original.size(); k += 2)
        original[k + 1 < original.size() ? k + 1 : k] = 0;
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), original);

    // One more byte and it fits exactly, the terminator in the last byte.
    original.push_back('-');
    write_bytes(dll(), original);
    EXPECT_EQ(run_tool(folder_), 0u);
    EXPECT_EQ(read_bytes(dll()), patched(original, 6, folder_));
}

}  // namespace
