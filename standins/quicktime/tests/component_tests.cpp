// The Component Manager through the forwarding entries: a real component DLL registered from a
// component file whose resource fork and trailer each test lays out by hand.
#include "qt_test_support.h"
#include "test_process.h"

#include <cstring>
#include <fstream>
#include <string>

namespace {

using Components = QuickTimeStandIn;

const OSType test_type = hx_fourcc("test");
const OSType test_subtype = hx_fourcc("Tcmp");
const OSType test_maker = hx_fourcc("Hlvx");

// Big-endian appenders for laying out bytes by hand.
void be16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
void be32(std::vector<uint8_t>& v, uint32_t x)
{
    be16(v, x >> 16);
    be16(v, x & 0xFFFF);
}
void text(std::vector<uint8_t>& v, const char* s, size_t n)
{
    v.insert(v.end(), s, s + n);
}

// What a test may spoil in the file it writes.
struct spoil {
    uint16_t platform_type = 4;
    OSType thng_type = hx_fourcc("thng");
    OSType dlle_type = hx_fourcc("dlle");
    uint32_t map_offset_delta = 0;
    uint32_t rsrc_offset_delta = 0;
    size_t cut_end = 0;
};

// The test component's registration, as a resource fork:
//   data (from 256): 'thng' 512 at 0 (76 bytes), 'STR ' 512 at 80, 'STR ' 513 at 95,
//                    'dlle' 512 at 114; 140 bytes in all
//   map (at 396):    28-byte header, type list at 28 with three types, references after it;
//                    102 bytes
std::vector<uint8_t> test_fork(const spoil& s)
{
    std::vector<uint8_t> data;
    be32(data, 76);  // 'thng' 512
    be32(data, test_type);
    be32(data, test_subtype);
    be32(data, test_maker);
    be32(data, 0);  // flags
    be32(data, 0);  // mask
    be32(data, 0);  // code resource, given per platform
    be16(data, 0);
    text(data, "STR ", 4);
    be16(data, 512);
    text(data, "STR ", 4);
    be16(data, 513);
    be32(data, 0);  // icon
    be16(data, 0);
    be32(data, 0x00010002);  // version
    be32(data, 8);           // componentHasMultiplePlatforms
    be16(data, 0);           // icon family
    be32(data, 1);           // platform count
    be32(data, 0x8000);      // platform flags
    text(data, "dlle", 4);
    be16(data, 512);
    be16(data, s.platform_type);
    text(data, "thnr", 4);
    be16(data, 512);
    EXPECT_EQ(data.size(), 80u);
    be32(data, 11);  // 'STR ' 512
    data.push_back(10);
    text(data, "Test Thing", 10);
    EXPECT_EQ(data.size(), 95u);
    be32(data, 15);  // 'STR ' 513
    data.push_back(14);
    text(data, "Made for tests", 14);
    EXPECT_EQ(data.size(), 114u);
    be32(data, 22);  // 'dlle' 512
    text(data, "TestComponentDispatch", 22);
    EXPECT_EQ(data.size(), 140u);

    const uint32_t map_offset = 256 + 140;
    const uint32_t map_length = 102;
    std::vector<uint8_t> fork;
    be32(fork, 256);
    be32(fork, map_offset + s.map_offset_delta);
    be32(fork, 140);
    be32(fork, map_length);
    fork.resize(256, 0);
    fork.insert(fork.end(), data.begin(), data.end());
    // Map header: copy of the fork header, next map, file reference, attributes, offsets.
    fork.insert(fork.end(), fork.begin(), fork.begin() + 16);
    be32(fork, 0);
    be16(fork, 0);
    be16(fork, 0);
    be16(fork, 28);
    be16(fork, map_length);
    // Type list: count - 1, then type, references - 1, offset from the type list.
    be16(fork, 2);
    be32(fork, s.thng_type);
    be16(fork, 0);
    be16(fork, 26);
    text(fork, "STR ", 4);
    be16(fork, 1);
    be16(fork, 38);
    be32(fork, s.dlle_type);
    be16(fork, 0);
    be16(fork, 62);
    // References: ID, no name, attributes 0, 24-bit data offset, reserved.
    const uint32_t refs[4][2] = {{512, 0}, {512, 80}, {513, 95}, {512, 114}};
    for (const auto& r : refs) {
        be16(fork, r[0]);
        be16(fork, 0xFFFF);
        be32(fork, r[1]);  // attributes byte 0, then the offset's three bytes
        be32(fork, 0);
    }
    EXPECT_EQ(fork.size(), 396u + map_length);
    return fork;
}

// The test DLL with its fork, padding and trailer, written to a fresh .qtx file.
std::string write_component_file(const spoil& s = spoil())
{
    std::ifstream in(bin_dir() + "qt_test_component.dll", std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(file.empty());
    const uint32_t image = static_cast<uint32_t>(file.size());
    const std::vector<uint8_t> fork = test_fork(s);
    file.insert(file.end(), fork.begin(), fork.end());
    const size_t padding = 512 - (file.size() + 48) % 512;
    file.resize(file.size() + padding + 12, 0);
    text(file, "data", 4);
    be32(file, 0);
    be32(file, image);
    text(file, "rsrc", 4);
    be32(file, image + s.rsrc_offset_delta);
    be32(file, static_cast<uint32_t>(fork.size()));
    text(file, "mkQuickTime\xAA", 12);
    EXPECT_EQ(file.size() % 512, 0u);
    file.resize(file.size() - s.cut_end);
    const std::string path = temp_file("qtcomponent") + ".qtx";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return path;
}

ComponentDescription looking_for_test()
{
    ComponentDescription d{};
    d.componentType = test_type;
    d.componentSubType = test_subtype;
    return d;
}

// A parameter block of up to four slots.
struct params_block {
    ComponentParameters p;
    int32_t more[3];
};
params_block block(int16_t what, std::initializer_list<int32_t> slots)
{
    params_block b{};
    b.p.what = what;
    b.p.paramSize = static_cast<uint8_t>(4 * slots.size());
    int32_t* out = b.p.params;
    for (int32_t s : slots)
        *out++ = s;
    return b;
}

ComponentResult call(ComponentInstance instance, int16_t what, std::initializer_list<int32_t> slots)
{
    params_block b = block(what, slots);
    return CallComponent(instance, &b.p);
}

TEST_F(Components, RegistersAComponentFileAndDescribesIt)
{
    const std::string path = write_component_file();
    ASSERT_EQ(standin.register_file(path.c_str()), 1) << standin.last_message();
    ComponentDescription looking = looking_for_test();
    EXPECT_EQ(CountComponents(&looking), 1);
    const Component found = FindNextComponent(nullptr, &looking);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(FindNextComponent(found, &looking), nullptr);
    looking.componentFlags = 0x8000;
    looking.componentFlagsMask = 0x8000;
    EXPECT_EQ(CountComponents(&looking), 1) << "the Win32 platform's flags";
    looking.componentFlags = 0;
    EXPECT_EQ(CountComponents(&looking), 0);
    looking.componentManufacturer = hx_fourcc("none");
    looking.componentFlagsMask = 0;
    EXPECT_EQ(CountComponents(&looking), 0);

    ComponentDescription description{};
    const Handle name = NewHandle(0);
    const Handle info = NewHandle(0);
    ASSERT_EQ(GetComponentInfo(found, &description, name, info, nullptr), noErr);
    EXPECT_EQ(description.componentType, test_type);
    EXPECT_EQ(description.componentSubType, test_subtype);
    EXPECT_EQ(description.componentManufacturer, test_maker);
    EXPECT_EQ(description.componentFlags, 0x8000u);
    const std::vector<uint8_t> n = handle_bytes(name);
    EXPECT_EQ(std::string(n.begin(), n.end()), std::string("\x0aTest Thing"));
    const std::vector<uint8_t> i = handle_bytes(info);
    EXPECT_EQ(std::string(i.begin(), i.end()), std::string("\x0eMade for tests"));
    DisposeHandle(name);
    DisposeHandle(info);

    // Registration loads nothing; registering the same file again adds nothing.
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
    EXPECT_EQ(standin.register_file(path.c_str()), 1);
    looking = looking_for_test();
    EXPECT_EQ(CountComponents(&looking), 1);
    DeleteFileA(path.c_str());
}

TEST_F(Components, OpenCanDoCallAndCloseAnInstance)
{
    const std::string path = write_component_file();
    ASSERT_EQ(standin.register_file(path.c_str()), 1) << standin.last_message();
    const long live = standin.live_blocks();
    const ComponentInstance instance = OpenDefaultComponent(test_type, test_subtype);
    ASSERT_NE(instance, nullptr) << standin.last_message();
    EXPECT_NE(GetModuleHandleA(path.c_str()), nullptr);
    EXPECT_EQ(standin.live_blocks(), live + 1) << "the storage open registered";
    const Handle storage = GetComponentInstanceStorage(instance);
    ASSERT_NE(storage, nullptr);

    EXPECT_EQ(call(instance, kComponentCanDoSelect, {kComponentOpenSelect}), 1);
    EXPECT_EQ(call(instance, kComponentCanDoSelect, {0x101}), 1);
    // A short slot: only its low 16 bits are the selector.
    EXPECT_EQ(call(instance, kComponentCanDoSelect, {static_cast<int32_t>(0x7FFF0100)}), 1);
    EXPECT_EQ(call(instance, kComponentCanDoSelect, {0x102}), 0);
    EXPECT_EQ(call(instance, kComponentVersionSelect, {}), 0x00020003);
    EXPECT_EQ(call(instance, 0x200, {}), badComponentSelector);

    // The storage set at open reaches every later call, wherever its block has moved.
    char* moved_from = *storage;
    EXPECT_EQ(call(instance, 0x101, {}), static_cast<ComponentResult>(reinterpret_cast<uintptr_t>(instance)));
    EXPECT_NE(*storage, moved_from);
    EXPECT_EQ(call(instance, 0x100, {41}), 0);
    EXPECT_EQ(call(instance, 0x100, {42}), 41);
    params_block b = block(0x100, {43});
    typedef ComponentResult(__cdecl * call_proc)(ComponentInstance, ComponentParameters*);
    EXPECT_EQ(reinterpret_cast<call_proc>(&hx_qt_call_component)(instance, &b.p), 42) << "_CallComponent";

    EXPECT_EQ(CloseComponent(instance), noErr);
    EXPECT_EQ(standin.live_blocks(), live);
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "the library goes with its last instance";
    EXPECT_EQ(call(instance, kComponentVersionSelect, {}), badComponentSelector);
    EXPECT_EQ(GetComponentInstanceStorage(instance), nullptr);
    DeleteFileA(path.c_str());
}

TEST_F(Components, AFailedOpenLeavesNothingOpen)
{
    const std::string path = write_component_file();
    ASSERT_EQ(standin.register_file(path.c_str()), 1) << standin.last_message();
    ComponentDescription looking = looking_for_test();
    const Component component = FindNextComponent(nullptr, &looking);
    const long live = standin.live_blocks();

    standin.fail_allocations(0, 1);
    EXPECT_EQ(OpenComponent(component), nullptr);
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
    SetEnvironmentVariableA("HX_TEST_COMPONENT_FAIL_OPEN", "1");
    EXPECT_EQ(OpenComponent(component), nullptr);
    SetEnvironmentVariableA("HX_TEST_COMPONENT_FAIL_OPEN", nullptr);
    EXPECT_EQ(standin.live_blocks(), live);
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);

    const ComponentInstance instance = OpenComponent(component);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(CloseComponent(instance), noErr);
    DeleteFileA(path.c_str());
}

struct refusal {
    const char* what;
    spoil s;
    const char* message;
};

TEST_F(Components, MalformedFilesAreRefusedWithAReason)
{
    spoil truncated;
    truncated.cut_end = 5;
    spoil past_end;
    past_end.rsrc_offset_delta = 0x100000;
    spoil bad_map;
    bad_map.map_offset_delta = 0x4000;
    spoil no_thng;
    no_thng.thng_type = hx_fourcc("thnx");
    spoil no_win32;
    no_win32.platform_type = 2;
    spoil no_dlle;
    no_dlle.dlle_type = hx_fourcc("dllx");
    const refusal cases[] = {
        {"truncated", truncated, "mkQuickTime"},
        {"fork past the end", past_end, "'rsrc' record lies outside the file"},
        {"map outside the fork", bad_map, "lies outside the fork"},
        {"no 'thng'", no_thng, "no 'thng' 512 resource"},
        {"no Win32 platform", no_win32, "no Win32 platform"},
        {"no 'dlle'", no_dlle, "no 'dlle' 512 resource"},
    };
    for (const refusal& r : cases) {
        const std::string path = write_component_file(r.s);
        EXPECT_EQ(standin.register_file(path.c_str()), 0) << r.what;
        EXPECT_NE(std::strstr(standin.last_message(), r.message), nullptr)
            << r.what << ": " << standin.last_message();
        EXPECT_NE(std::strstr(standin.last_message(), path.c_str()), nullptr) << r.what;
        DeleteFileA(path.c_str());
    }
    EXPECT_EQ(standin.register_file("C:\\no\\such\\file.qtx"), 0);
    EXPECT_NE(std::strstr(standin.last_message(), "cannot open"), nullptr) << standin.last_message();
    ComponentDescription looking = looking_for_test();
    EXPECT_EQ(CountComponents(&looking), 0);
}

// The slots a handler received.
int32_t received[8];
Handle received_storage;
ComponentResult __cdecl five_slots(Handle storage, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e)
{
    received_storage = storage;
    const int32_t in[5] = {a, b, c, d, e};
    std::memcpy(received, in, sizeof in);
    return 0x1234567;
}

TEST_F(Components, CallWithStoragePassesTheSlotsInOrder)
{
    typedef ComponentResult(__cdecl * with_storage)(Handle, ComponentParameters*, void*);
    const with_storage call_with_storage = reinterpret_cast<with_storage>(&hx_qt_call_component_with_storage);
    char storage_byte = 0;
    char* master = &storage_byte;
    // Five slots from a block of its own.
    struct {
        ComponentParameters p;
        int32_t more[4];
    } wide{};
    wide.p.paramSize = 20;
    const int32_t values[5] = {11, -12, 13, 14, 15};
    std::memcpy(wide.p.params, values, sizeof values);
    EXPECT_EQ(call_with_storage(&master, &wide.p, reinterpret_cast<void*>(&five_slots)), 0x1234567);
    EXPECT_EQ(received_storage, &master);
    EXPECT_EQ(std::vector<int32_t>(received, received + 5), std::vector<int32_t>(values, values + 5));
    // Fewer slots than the function reads: the rest are zero.
    params_block two = block(0x100, {7, 8});
    EXPECT_EQ(call_with_storage(nullptr, &two.p, reinterpret_cast<void*>(&five_slots)), 0x1234567);
    EXPECT_EQ(std::vector<int32_t>(received, received + 5), std::vector<int32_t>({7, 8, 0, 0, 0}));
}

// A component registered in memory.
int closes = 0;
ComponentResult __cdecl in_memory_entry(ComponentParameters* params, Handle storage)
{
    if (params->what == kComponentOpenSelect) {
        const Handle h = NewHandle(4);
        SetComponentInstanceStorage(
            reinterpret_cast<ComponentInstance>(static_cast<uintptr_t>(params->params[0])), h);
        return h ? noErr : MemError();
    }
    if (params->what == kComponentCloseSelect) {
        ++closes;
        DisposeHandle(storage);
        return noErr;
    }
    return static_cast<ComponentResult>(reinterpret_cast<uintptr_t>(*storage));
}

TEST_F(Components, ComponentsRegisteredInMemoryOpenAndSeeTheirBlocksMove)
{
    ComponentDescription d{};
    d.componentType = hx_fourcc("memy");
    d.componentSubType = hx_fourcc("Test");
    const Handle name = NewHandle(5);
    std::memcpy(*name, "\x04Mine", 5);
    const Component component = RegisterComponent(&d, in_memory_entry, 0, name, nullptr, nullptr);
    ASSERT_NE(component, nullptr);
    const ComponentInstance instance = OpenDefaultComponent(hx_fourcc("memy"), 0);
    ASSERT_NE(instance, nullptr);
    const ComponentResult first = call(instance, 0x10, {});
    const ComponentResult second = call(instance, 0x10, {});
    EXPECT_NE(first, second) << "the storage block moved between the calls";
    EXPECT_EQ(CloseComponent(instance), noErr);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(CloseComponent(instance), static_cast<OSErr>(0x8001));
    EXPECT_EQ(RegisterComponentResourceFile(1, 0), -193);
    DisposeHandle(name);
}

// QuickTime's folders as an installed QuickTime has them, for one test: InstallDir in the
// registry naming a folder with QTComponents, and the system folder's QuickTime folder. Whatever
// it made goes again at the end.
class quicktime_folders {
public:
    quicktime_folders() : home_(temp_file("qt_home")), system_quicktime_(system_folder() + "\\QuickTime")
    {
        CreateDirectoryA(home_.c_str(), nullptr);
        CreateDirectoryA(components().c_str(), nullptr);
        made_system_quicktime_ = CreateDirectoryA(system_quicktime_.c_str(), nullptr) != FALSE;
        HKEY apple = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Apple Computer, Inc.", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &apple, &disposition) == ERROR_SUCCESS) {
            made_apple_key_ = disposition == REG_CREATED_NEW_KEY;
            RegCloseKey(apple);
        }
        HKEY quicktime = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &quicktime,
                            &disposition) == ERROR_SUCCESS) {
            made_quicktime_key_ = disposition == REG_CREATED_NEW_KEY;
            RegSetValueExA(quicktime, "InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(home_.c_str()),
                           static_cast<DWORD>(home_.size() + 1));
            RegCloseKey(quicktime);
        }
    }
    ~quicktime_folders()
    {
        for (const std::string& f : files_)
            DeleteFileA(f.c_str());
        RemoveDirectoryA(components().c_str());
        RemoveDirectoryA(home_.c_str());
        if (made_system_quicktime_)
            RemoveDirectoryA(system_quicktime_.c_str());
        HKEY quicktime = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &quicktime) == ERROR_SUCCESS) {
            RegDeleteValueA(quicktime, "InstallDir");
            RegCloseKey(quicktime);
        }
        if (made_quicktime_key_)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
        if (made_apple_key_)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Apple Computer, Inc.");
    }
    quicktime_folders(const quicktime_folders&) = delete;
    quicktime_folders& operator=(const quicktime_folders&) = delete;

    std::string components() const { return home_ + "\\QTComponents"; }
    const std::string& system_quicktime() const { return system_quicktime_; }
    // Moves a file in under `name`; it is deleted at the end.
    std::string put(const std::string& from, const std::string& folder, const char* name)
    {
        const std::string to = folder + "\\" + name;
        EXPECT_TRUE(MoveFileA(from.c_str(), to.c_str())) << to;
        files_.push_back(to);
        return to;
    }

private:
    static constexpr char key[] = "SOFTWARE\\Apple Computer, Inc.\\QuickTime";
    static std::string system_folder()
    {
        char path[MAX_PATH];
        const UINT n = GetSystemDirectoryA(path, MAX_PATH);
        return std::string(path, n);
    }
    std::string home_;
    std::string system_quicktime_;
    bool made_system_quicktime_ = false;
    bool made_apple_key_ = false;
    bool made_quicktime_key_ = false;
    std::vector<std::string> files_;
};

// Like QuickTime, the runtime registers the component files of its folders when it starts: this
// test lays them out before its process first calls the runtime.
TEST(StartUp, RegistersTheComponentFilesOfQuickTimesFolders)
{
    quicktime_folders folders;
    const std::string in_components = folders.put(write_component_file(), folders.components(), "Test.qtx");
    const std::string in_system = folders.put(write_component_file(), folders.system_quicktime(), "Test.qtx");
    const std::string no_component = temp_file("not_a_component");
    std::ofstream(no_component, std::ios::binary) << std::string(1024, 'x');
    folders.put(no_component, folders.components(), "Broken.qtx");
    const std::string other = write_component_file();
    folders.put(other, folders.components(), "Test.qtx.old");

    long version = 0;
    ASSERT_EQ(Gestalt(hx_fourcc("qtim"), &version), noErr);  // the runtime starts
    hx_qt_standin standin;
    ASSERT_TRUE(standin.find());
    ComponentDescription looking = looking_for_test();
    ASSERT_EQ(CountComponents(&looking), 2) << "one from each folder; not the broken one nor the .old one";
    char path[MAX_PATH];
    const Component first = FindNextComponent(nullptr, &looking);
    ASSERT_GT(standin.component_file(first, path, sizeof path), 0);
    EXPECT_EQ(lstrcmpiA(path, in_components.c_str()), 0) << path;
    const Component second = FindNextComponent(first, &looking);
    ASSERT_GT(standin.component_file(second, path, sizeof path), 0);
    EXPECT_EQ(lstrcmpiA(path, in_system.c_str()), 0) << path;
    EXPECT_NE(std::string(standin.last_message()).find("Broken.qtx"), std::string::npos)
        << standin.last_message();

    // A host that registers an installed file itself does not make a second copy of it.
    EXPECT_EQ(standin.register_file(in_components.c_str()), 1);
    EXPECT_EQ(CountComponents(&looking), 2);
    const ComponentInstance instance = OpenComponent(first);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(CloseComponent(instance), noErr);
}

TEST(StartUp, WithoutQuickTimesFoldersNothingIsRegistered)
{
    long version = 0;
    ASSERT_EQ(Gestalt(hx_fourcc("qtim"), &version), noErr);
    ComponentDescription any{};
    EXPECT_EQ(CountComponents(&any), 0);
    hx_qt_standin standin;
    ASSERT_TRUE(standin.find());
    EXPECT_STREQ(standin.last_message(), "");
}

}  // namespace
