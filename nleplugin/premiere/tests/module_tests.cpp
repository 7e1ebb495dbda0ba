// tsp_prm_nle.prm as the host meets it: its exports, its resources read back from the built
// file, and every selector of xCompileEntry through the host stand-in.
#include "plugin_folder.h"
#include "premiere_host.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string module_path()
{
    return bin_dir() + "tsp_prm_nle.prm";
}

using bytes = std::vector<uint8_t>;

// The module loaded as a data file, for its resources.
class ModuleResources : public testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExA(module_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override { FreeLibrary(module_); }

    bytes resource(const char* type, const char* name)
    {
        const HRSRC found = FindResourceA(module_, name, type);
        if (found == nullptr)
            return {};
        const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module_, found)));
        return bytes(data, data + SizeofResource(module_, found));
    }

    HMODULE module_ = nullptr;
};

TEST_F(ModuleResources, PropertyListIsByteExact)
{
    const bytes expected = {
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
        // '8BIM' 'kind' 0 4 'CMPM'
        0x4D, 0x49, 0x42, 0x38, 0x64, 0x6E, 0x69, 0x6B, 0, 0, 0, 0, 4, 0, 0, 0, 0x4D, 0x50, 0x4D, 0x43,
        // '8BIM' 'name' 0 16 "\x0CSave For Web" + 3 zeros
        0x4D, 0x49, 0x42, 0x38, 0x65, 0x6D, 0x61, 0x6E, 0, 0, 0, 0, 16, 0, 0, 0, 12, 'S', 'a', 'v', 'e', ' ',
        'F', 'o', 'r', ' ', 'W', 'e', 'b', 0, 0, 0,
        // '8BIM' 'eMNA' 0 16 "\x0CHXTSPCompile" + 3 zeros
        0x4D, 0x49, 0x42, 0x38, 0x41, 0x4E, 0x4D, 0x65, 0, 0, 0, 0, 16, 0, 0, 0, 12, 'H', 'X', 'T', 'S', 'P',
        'C', 'o', 'm', 'p', 'i', 'l', 'e', 0, 0, 0,
        // 'ePVR' 02 00 01 00
        0x4D, 0x49, 0x42, 0x38, 0x52, 0x56, 0x50, 0x65, 0, 0, 0, 0, 4, 0, 0, 0, 0x02, 0x00, 0x01, 0x00,
        // 'eSVR' 01 00 00 00
        0x4D, 0x49, 0x42, 0x38, 0x52, 0x56, 0x53, 0x65, 0, 0, 0, 0, 4, 0, 0, 0, 0x01, 0x00, 0x00, 0x00,
        // 'eVER' 00 00 30 00
        0x4D, 0x49, 0x42, 0x38, 0x52, 0x45, 0x56, 0x65, 0, 0, 0, 0, 4, 0, 0, 0, 0x00, 0x00, 0x30, 0x00};
    ASSERT_EQ(expected.size(), 154u);
    EXPECT_EQ(resource("PIPL", MAKEINTRESOURCEA(16000)), expected);
}

TEST_F(ModuleResources, BannerIs315By78At24Bits)
{
    const bytes banner = resource(MAKEINTRESOURCEA(2) /* RT_BITMAP */, MAKEINTRESOURCEA(103));
    ASSERT_GE(banner.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, banner.data(), sizeof header);
    EXPECT_EQ(header.biWidth, 315);
    EXPECT_EQ(header.biHeight, 78);
    EXPECT_EQ(header.biBitCount, 24);
    EXPECT_EQ(banner.size(), sizeof header + 948u * 78u);
}

TEST_F(ModuleResources, VersionBlock)
{
    const std::string path = module_path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00050000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00050000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);

    auto text = [&](const char* name) {
        char* value = nullptr;
        UINT n = 0;
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
        return VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &n)
                   ? std::string(value)
                   : "<missing>";
    };
    EXPECT_EQ(text("CompanyName"), "Halvex");
    EXPECT_EQ(text("FileDescription"), "tsp_prm_nle");
    EXPECT_EQ(text("InternalName"), "tsp_prm_nle");
    EXPECT_EQ(text("OriginalFilename"), "tsp_prm_nle.prm");
    EXPECT_EQ(text("FileVersion"), "5, 0, 1, 0");
    EXPECT_EQ(text("ProductVersion"), "5, 0, 1, 0");

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
}

// A class given by atom or by name, in one spelling.
std::string class_name(const std::string& kind)
{
    if (kind == "#128")
        return "BUTTON";
    if (kind == "#130")
        return "STATIC";
    if (kind == "#133")
        return "COMBOBOX";
    std::string upper = kind;
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return upper;
}

// A reader of the dialog template, as the dialog manager reads it.
struct dialog_item {
    uint16_t id;
    std::string kind;  // class name, or the predefined class atom as "#0x0080"
    std::string text;  // "#103" for a resource ordinal
    int16_t x, y, cx, cy;
    uint32_t style;
};

struct dialog_template {
    uint32_t style;
    int16_t x, y, cx, cy;
    std::string caption, font;
    uint16_t point_size;
    std::vector<dialog_item> items;
};

class template_reader {
public:
    explicit template_reader(const bytes& data) : data_(data) {}
    uint16_t word()
    {
        uint16_t v = 0;
        if (at_ + 2 <= data_.size())
            std::memcpy(&v, &data_[at_], 2);
        at_ += 2;
        return v;
    }
    uint32_t dword()
    {
        const uint32_t low = word();
        return low | (uint32_t(word()) << 16);
    }
    std::string text()
    {
        std::string s;
        for (uint16_t c = word(); c != 0; c = word())
            s += static_cast<char>(c);
        return s;
    }
    // A name or an ordinal (0xFFFF then a word).
    std::string name_or_ordinal()
    {
        const size_t mark = at_;
        if (word() == 0xFFFF)
            return "#" + std::to_string(word());
        at_ = mark;
        return text();
    }
    void align() { at_ = (at_ + 3) & ~size_t(3); }

private:
    const bytes& data_;
    size_t at_ = 0;
};

dialog_template parse_dialog(const bytes& data)
{
    template_reader r(data);
    dialog_template t{};
    t.style = r.dword();
    r.dword();  // extended style
    const uint16_t count = r.word();
    t.x = static_cast<int16_t>(r.word());
    t.y = static_cast<int16_t>(r.word());
    t.cx = static_cast<int16_t>(r.word());
    t.cy = static_cast<int16_t>(r.word());
    r.name_or_ordinal();  // menu
    r.name_or_ordinal();  // class
    t.caption = r.text();
    if (t.style & DS_SETFONT) {
        t.point_size = r.word();
        t.font = r.text();
    }
    for (uint16_t i = 0; i < count; ++i) {
        r.align();
        dialog_item item{};
        item.style = r.dword();
        r.dword();
        item.x = static_cast<int16_t>(r.word());
        item.y = static_cast<int16_t>(r.word());
        item.cx = static_cast<int16_t>(r.word());
        item.cy = static_cast<int16_t>(r.word());
        item.id = r.word();
        item.kind = r.name_or_ordinal();
        item.text = r.name_or_ordinal();
        const uint16_t extra = r.word();
        for (uint16_t k = 0; k < extra; k += 2)
            r.word();
        t.items.push_back(item);
    }
    return t;
}

TEST_F(ModuleResources, DialogTemplate)
{
    const dialog_template t = parse_dialog(resource(MAKEINTRESOURCEA(5) /* RT_DIALOG */, "DLG1_EZ"));
    EXPECT_EQ(t.caption, "Save for Web");
    EXPECT_EQ(t.cx, 314);
    EXPECT_EQ(t.cy, 125);
    EXPECT_EQ(t.point_size, 8);
    EXPECT_EQ(t.font, "MS Sans Serif");
    const uint32_t frame = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    EXPECT_EQ(t.style & frame, frame);

    // "#128" button, "#130" static, "#133" combo box: the predefined classes.
    struct expected_item {
        uint16_t id;
        const char* kind;
        const char* text;
        int16_t x, y, cx, cy;
        uint32_t style_bits;
    };
    const expected_item expected[] = {
        {0xFFFF, "#130", "Settings:", 7, 8, 28, 8, SS_LEFT},
        {1000, "#130", "", 39, 7, 203, 13, SS_BLACKFRAME | SS_NOTIFY},
        {1002, "#130", "Static", 39, 23, 203, 22, SS_LEFT},
        {0xFFFF, "#130", "Export:", 7, 49, 28, 8, SS_LEFT},
        {1003, "#133", "", 39, 47, 169, 49, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
        {0xFFFF, "#130", "#103", 7, 69, 210, 48, SS_BITMAP},
        {1, "#128", "&Start", 251, 7, 56, 13, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {2, "#128", "Cancel", 251, 23, 56, 13, BS_PUSHBUTTON | WS_TABSTOP},
        {3, "#128", "&Learn More...", 251, 82, 56, 13, BS_PUSHBUTTON | WS_TABSTOP},
    };
    ASSERT_EQ(t.items.size(), std::size(expected));
    for (size_t i = 0; i < t.items.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        const dialog_item& got = t.items[i];
        const expected_item& want = expected[i];
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(class_name(got.kind), class_name(want.kind));
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        // Static kinds are a number in the low bits, the rest are flags.
        if (want.kind == std::string("#130")) {
            EXPECT_EQ(got.style & SS_TYPEMASK, want.style_bits & SS_TYPEMASK);
        }
        EXPECT_EQ(got.style & want.style_bits, want.style_bits);
    }
    EXPECT_TRUE(t.items[1].style & SS_NOTIFY);
}

// Every preset, category by category; "-" stands for a separator.
const char* const expected_menu[][17] = {
    {"QuickTime Progressive Download", "20001 Big movie (best for ISDN+ viewers)", "20002 Medium-size movie",
     "20003 Small movie (best for modem viewers)", "-", "20005 Alternates 28.8K, 56K, Dual ISDN",
     "20006 Alternates 56K, Broadband/LAN", "20007 Alternates 28.8K, 56K, Dual ISDN, Broadband/LAN", "-",
     "20009 Audio-only 28.8K (voice only)", "20010 Audio-only 28.8K (music)", "20011 Audio-only 56K",
     "20012 Audio-only Dual ISDN", "-", "20014 Audio-only Alternates 28.8K, 56K (voice only)",
     "20015 Audio-only Alternates 28.8K, 56K, Dual ISDN (music)", nullptr},
    {"QuickTime Streaming", "21001 28.8K Modem", "21002 56K/single ISDN", "21003 Dual ISDN",
     "21004 Broadband/LAN", "-", "21006 Alternates 28.8K, 56K, Dual ISDN",
     "21007 Alternates 56K, Broadband/LAN", "21008 Alternates 28.8K, 56K, Dual ISDN, Broadband/LAN", "-",
     "21010 Audio-only 28.8K (voice only)", "21011 Audio-only 28.8K (music)", "21012 Audio-only 56K",
     "21013 Audio-only Dual ISDN", "-", "21015 Audio-only Alternates 28.8K, 56K (voice only)",
     "21016 Audio-only Alternates 28.8K, 56K, Dual ISDN (music)"},
    {"RealG2 Web Download", "22001 Big movie (best for ISDN+ viewers)", "22002 Medium-size movie",
     "22003 Small movie (best for modem viewers)", "-", "22005 Audio-only 28.8K (voice only)",
     "22006 Audio-only 28.8K (music)", "22007 Audio-only 56K", "22008 Audio-only Dual ISDN", nullptr},
    {"RealG2 Streaming", "23001 28.8K Modem", "23002 56K/single ISDN", "23003 Dual ISDN",
     "23004 Broadband/LAN", "-", "23006 SureStream (voice)", "23007 SureStream (music)", "-",
     "23009 Audio-only 28.8K (voice only)", "23010 Audio-only 28.8K (music)", "23011 Audio-only 56K",
     "23012 Audio-only Dual ISDN", "23013 Audio-only SureStream (voice)",
     "23014 Audio-only SureStream (music)", nullptr},
    {"Windows Media - Video", "24001 28.8k modem", "24002 28.8k modem (voice)", "24003 56k modem",
     "24004 56k modem (voice)", "24005 Dual ISDN", "24006 Broadband/LAN", "-",
     "24008 Intelligent Streaming (modems)", "24009 Intelligent Streaming (broadband)",
     "24010 Intelligent Streaming (wide range)", nullptr},
    {"Windows Media - Audio", "25001 6.5kbit voice", "25002 28.8k modem mono", "25003 28.8k modem stereo",
     "25004 28.8k modem voice", "25005 56k modem mono", "25006 56k modem stereo", "25007 Dual-ISDN stereo",
     "25008 Broadband stereo", nullptr},
    {"AVI CD-ROM", "26001 2X CDROM, Cinepak", "26002 4X CDROM, Cinepak", nullptr},
    {"QuickTime CD-ROM", "27001 2X CDROM, Cinepak", "27002 4X CDROM, Cinepak", "27003 CDROM, Sorenson",
     nullptr},
    {"Still Image", "28001 JPEG image (high quality)", "28002 JPEG image (smaller)", "28003 PICT image",
     "28004 BMP image", nullptr},
    {"MPEG", "29001 2X CDROM, NTSC 352x240", "29002 2X CDROM, PAL 352x288", nullptr},
    {"MP3", "30001 28.8 Modem, mono", "30002 High Quality, stereo", nullptr},
};

std::string item_text(HMENU menu, UINT position)
{
    char text[256] = "";
    GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
    return text;
}

TEST_F(ModuleResources, SettingsMenu)
{
    const HMENU menu = LoadMenuA(module_, "PROPERTIES_MENU_EZ");
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 1);
    EXPECT_EQ(item_text(menu, 0), "Process Window Menu");
    const HMENU settings = GetSubMenu(menu, 0);
    ASSERT_NE(settings, nullptr);
    ASSERT_EQ(GetMenuItemCount(settings), 2 + 11 + 2);

    // The prompt: 36 blanks and a middle dot (0xB7 in the ANSI code page), grayed.
    EXPECT_EQ(GetMenuItemID(settings, 0), 152u);
    EXPECT_EQ(item_text(settings, 0), "(Select a Setting here)" + std::string(36, ' ') + "\xB7");
    EXPECT_TRUE(GetMenuState(settings, 0, MF_BYPOSITION) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(settings, 1, MF_BYPOSITION) & MF_SEPARATOR);

    for (UINT c = 0; c < 11; ++c) {
        const auto& want = expected_menu[c];
        SCOPED_TRACE(want[0]);
        EXPECT_EQ(item_text(settings, 2 + c), want[0]);
        const HMENU category = GetSubMenu(settings, 2 + c);
        ASSERT_NE(category, nullptr);
        int n = 0;
        while (n + 1 < 17 && want[n + 1] != nullptr)
            ++n;
        ASSERT_EQ(GetMenuItemCount(category), n);
        for (int i = 0; i < n; ++i) {
            const std::string entry = want[i + 1];
            if (entry == "-") {
                EXPECT_TRUE(GetMenuState(category, i, MF_BYPOSITION) & MF_SEPARATOR) << i;
                continue;
            }
            EXPECT_EQ(std::to_string(GetMenuItemID(category, i)), entry.substr(0, 5));
            EXPECT_EQ(item_text(category, i), entry.substr(6));
        }
    }
    EXPECT_TRUE(GetMenuState(settings, 13, MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(GetMenuItemID(settings, 14), 32000u);
    EXPECT_EQ(item_text(settings, 14), "Settings Wizard...");
    DestroyMenu(menu);
}

TEST(ModuleExports, OnlyTheCompileEntry)
{
    const HMODULE module = LoadLibraryA(module_path().c_str());
    ASSERT_NE(module, nullptr);
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    ASSERT_EQ(exports->NumberOfNames, 1u);
    ASSERT_EQ(exports->NumberOfFunctions, 1u);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    EXPECT_STREQ(reinterpret_cast<const char*>(base + names[0]), "xCompileEntry");
    FreeLibrary(module);
}

class Selectors : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(module_.load(module_path())); }

    int32_t call(int32_t selector, void* argument1, void* argument2 = nullptr)
    {
        return module_.call(selector, host_.standard(), argument1, argument2);
    }

    premiere_host host_{clip_settings{}};
    premiere_module module_;
};

template <class Record> Record filled(uint8_t value)
{
    Record r;
    std::memset(&r, value, sizeof r);
    return r;
}

int32_t word_at(const void* record, size_t offset)
{
    int32_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(record) + offset, 4);
    return v;
}

TEST_F(Selectors, ModuleInformation)
{
    auto info = filled<prm_module_info>(0xEE);
    EXPECT_EQ(call(0, &info), 0);
    const auto* b = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_EQ(word_at(b, 0x000), static_cast<int32_t>(0xEEEEEEEE));
    EXPECT_EQ(word_at(b, 0x004), 0x54535034);
    EXPECT_EQ(word_at(b, 0x008), 0x5435455A);
    EXPECT_EQ(word_at(b, 0x00C), 0);
    EXPECT_EQ(word_at(b, 0x010), 1);
    EXPECT_EQ(word_at(b, 0x014), 1);
    for (size_t i = 0x018; i < 0x028; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::memcmp(b + 0x028, "Save For Web", 13), 0);
    EXPECT_EQ(b[0x028 + 13], 0xEE);  // the rest of the name field is left alone
    EXPECT_EQ(word_at(b, 0x128), 3);
    EXPECT_EQ(word_at(b, 0x12C), 0);
    EXPECT_EQ(word_at(b, 0x130), 1);
    for (size_t i = 0x134; i < 0x134 + 116; ++i)
        EXPECT_EQ(b[i], 0) << i;
}

TEST_F(Selectors, VideoFormatAtOddOffsets)
{
    auto format = filled<prm_video_format>(0xEE);
    EXPECT_EQ(call(2, &format, reinterpret_cast<void*>(0)), 0);
    const auto* b = reinterpret_cast<const uint8_t*>(&format);
    EXPECT_EQ(word_at(b, 0x000), static_cast<int32_t>(0xEEEEEEEE));
    EXPECT_EQ(word_at(b, 0x004), 0x52415720);
    EXPECT_STREQ(reinterpret_cast<const char*>(b + 0x008), "Tessora Output");
    EXPECT_EQ(b[0x008 + 15], 0xEE);
    EXPECT_EQ(b[0x108], 0);
    EXPECT_EQ(word_at(b, 0x109), 32);
    EXPECT_EQ(word_at(b, 0x10D), 0);
    EXPECT_EQ(word_at(b, 0x111), 1);
    EXPECT_EQ(word_at(b, 0x115), 1);
    EXPECT_EQ(word_at(b, 0x119), 1);
    EXPECT_EQ(word_at(b, 0x11D), 32767);
    EXPECT_EQ(word_at(b, 0x121), 32767);
    for (size_t i = 0x125; i < 0x12B; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(word_at(b, 0x12B), 0);
    EXPECT_EQ(word_at(b, 0x12F), 0);
    EXPECT_EQ(word_at(b, 0x133), -1);
    EXPECT_EQ(word_at(b, 0x137), -1);

    auto untouched = filled<prm_video_format>(0xEE);
    const auto pristine = untouched;
    EXPECT_EQ(call(2, &untouched, reinterpret_cast<void*>(1)), 1);
    EXPECT_EQ(std::memcmp(&untouched, &pristine, sizeof untouched), 0);
}

TEST_F(Selectors, AudioFormat)
{
    auto format = filled<prm_audio_format>(0xEE);
    EXPECT_EQ(call(3, &format, reinterpret_cast<void*>(0)), 0);
    const auto* b = reinterpret_cast<const uint8_t*>(&format);
    EXPECT_EQ(word_at(b, 0x004), 0x52415720);
    EXPECT_EQ(b[0x008], 0);
    EXPECT_EQ(b[0x009], 0);     // the empty name
    EXPECT_EQ(b[0x00A], 0xEE);  // only its terminator is written
    EXPECT_EQ(word_at(b, 0x109), 0);

    auto untouched = filled<prm_audio_format>(0xEE);
    const auto pristine = untouched;
    EXPECT_EQ(call(3, &untouched, reinterpret_cast<void*>(2)), 1);
    EXPECT_EQ(std::memcmp(&untouched, &pristine, sizeof untouched), 0);
}

TEST_F(Selectors, ResetSettingChoiceAllocatesOnceAndReuses)
{
    prm_setting_choice_holder holder{nullptr};
    EXPECT_EQ(call(5, &holder), 0);
    ASSERT_NE(holder.block, nullptr);
    EXPECT_EQ(host_.journal().allocations, 1);
    EXPECT_EQ(host_.journal().allocated[holder.block], 8);
    EXPECT_EQ(holder.block[0], 0);
    EXPECT_EQ(holder.block[1], 0);

    int32_t* const first = holder.block;
    first[0] = 12;
    first[1] = 34;
    EXPECT_EQ(call(5, &holder), 0);
    EXPECT_EQ(holder.block, first);
    EXPECT_EQ(host_.journal().allocations, 1);
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[1], 0);
}

TEST_F(Selectors, ResetSettingChoiceWithoutHostMemoryWritesNothing)
{
    host_.faults().allocate_fails = true;
    prm_setting_choice_holder holder{nullptr};
    EXPECT_EQ(call(5, &holder), 0);
    EXPECT_EQ(holder.block, nullptr);
}

TEST_F(Selectors, EveryCallUsesTheHostOfThatCall)
{
    // A second host: selector 5 must allocate through the parameters of the call itself.
    prm_setting_choice_holder holder{nullptr};
    EXPECT_EQ(call(12, nullptr), 0);
    premiere_host other{clip_settings{}};
    EXPECT_EQ(module_.call(5, other.standard(), &holder, nullptr), 0);
    EXPECT_EQ(other.journal().allocations, 1);
}

TEST_F(Selectors, UnhandledSelectorsAnswerZeroAndTouchNothing)
{
    for (int32_t selector : {1, 4, 6, 7, 9, 10, 12, 13, 99, -1}) {
        auto scratch = filled<prm_module_info>(0x5A);
        const auto pristine = scratch;
        EXPECT_EQ(call(selector, &scratch, &scratch), 0) << selector;
        EXPECT_EQ(std::memcmp(&scratch, &pristine, sizeof scratch), 0) << selector;
    }
    EXPECT_EQ(host_.journal().allocations, 0);
}

// Premiere finds its export modules in its plug-ins folder by their property lists; the host
// stand-in does the same (premiere_host.exe --plugins DIR).
TEST(PluginsFolder, OnlyExportModulesAreKeptWithTheirNames)
{
    const std::string folder = temp_file("plugins");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string module = folder + "\\b_module.prm";
    const std::string no_list = folder + "\\a_no_property_list.prm";
    const std::string not_prm = folder + "\\c_module.dll";
    ASSERT_TRUE(CopyFileA(module_path().c_str(), module.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((bin_dir() + "uninstpatch.exe").c_str(), no_list.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(module_path().c_str(), not_prm.c_str(), FALSE));

    const std::vector<plugin_module> found = find_export_modules(folder);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, module);
    EXPECT_EQ(found[0].name, "Save For Web");
    EXPECT_TRUE(find_export_modules(folder + "\\missing").empty());

    for (const std::string& f : {module, no_list, not_prm})
        DeleteFileA(f.c_str());
    RemoveDirectoryA(folder.c_str());
}

}  // namespace
