// Finding, waking and starting the encoder, and binding the QuickTime runtime: real registry
// keys in the test prefix, real windows, real processes, the stand-in encoder and runtime.
#include "hx_encoder_locator.h"
#include "hx_quicktime.h"
#include "hx_semaphore.h"
#include "registry_value.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string halvex = "SOFTWARE\\Halvex";

std::string system_runtime()
{
    char folder[MAX_PATH];
    GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\QuickTime.qts";
}

std::string bin_folder()
{
    const std::string folder = bin_dir();
    return folder.substr(0, folder.size() - 1);
}

void set_string(const std::string& key, const char* name, const std::string& value)
{
    HKEY handle;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(handle);
}

// Registers one edition: the pointer value and, unless null, the version key's values.
void register_edition(const char* edition, const std::string& subkey, const char* folder,
                      const char* executable)
{
    set_string(halvex, edition, subkey);
    if (folder != nullptr)
        set_string(halvex + "\\" + subkey, "InstallDir", folder);
    if (executable != nullptr)
        set_string(halvex + "\\" + subkey, "Executable", executable);
}

// Sets a key's DACL to one entry for everyone. `rights` without KEY_SET_VALUE makes a key
// that can be read but not written to; WRITE_DAC stays so that the key can be given back.
bool set_key_rights(const std::string& key, DWORD rights)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC, &handle) != ERROR_SUCCESS)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    bool done = false;
    if (AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        alignas(DWORD) BYTE acl_bytes[256];
        ACL* acl = reinterpret_cast<ACL*>(acl_bytes);
        SECURITY_DESCRIPTOR descriptor;
        done = InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION) &&
               AddAccessAllowedAce(acl, ACL_REVISION, rights | WRITE_DAC, everyone) &&
               InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
               RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
        FreeSid(everyone);
    }
    RegCloseKey(handle);
    return done;
}

// Keys made read-only for the length of a test, and given full access again after it.
class read_only_keys {
public:
    explicit read_only_keys(std::vector<std::string> keys) : keys_(std::move(keys))
    {
        for (const std::string& key : keys_)
            EXPECT_TRUE(set_key_rights(key, KEY_READ)) << key;
    }
    ~read_only_keys()
    {
        for (const std::string& key : keys_)
            EXPECT_TRUE(set_key_rights(key, KEY_ALL_ACCESS)) << key;
    }
    read_only_keys(const read_only_keys&) = delete;
    read_only_keys& operator=(const read_only_keys&) = delete;

private:
    std::vector<std::string> keys_;
};

// The rights a handle was opened with, as the kernel granted them.
ACCESS_MASK granted_access(HANDLE handle)
{
    struct basic_information {
        ULONG attributes;
        ACCESS_MASK granted_access;
        ULONG reserved[12];
    } info{};
    using query_object = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query =
        reinterpret_cast<query_object>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject"));
    ULONG written = 0;
    // Class 0: ObjectBasicInformation.
    if (query == nullptr || query(handle, 0, &info, sizeof info, &written) != 0)
        return 0;
    return info.granted_access;
}

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Every test starts with no encoder registered and no encoder window, and leaves the
// stand-in registered, the runtime in the system folder and nothing running.
class Launcher : public testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, halvex.c_str());
        ASSERT_EQ(FindWindowA(hx_encoder_window_class, nullptr), nullptr) << "an encoder window is left over";
        log_ = temp_file("encoder.log");
        SetEnvironmentVariableA("HX_ENCODER_LOG", log_.c_str());
        // A started encoder finds no channel at once and ends.
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--open-timeout 0");
        SetEnvironmentVariableA("HX_QT_VERSION", nullptr);
    }

    void TearDown() override
    {
        encoder_.kill();
        if (GetFileAttributesA(system_runtime().c_str()) == INVALID_FILE_ATTRIBUTES)
            MoveFileA((system_runtime() + ".away").c_str(), system_runtime().c_str());
        test_process registrar;
        ASSERT_TRUE(registrar.start(bin_dir() + "encoder.exe", "--register"));
        EXPECT_EQ(registrar.wait_exit(20000), 0u);
    }

    // The started encoder's log, once it has ended.
    std::string started_log(hx_handle& process)
    {
        EXPECT_NE(process.get(), nullptr);
        if (process.get() != nullptr) {
            EXPECT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
        }
        return read_file(log_);
    }

    void start_resident()
    {
        ASSERT_TRUE(encoder_.start(bin_dir() + "encoder.exe", "--resident"));
        ASSERT_TRUE(wait_until([] { return FindWindowA(hx_encoder_window_class, nullptr) != nullptr; }));
    }

    std::string log_;
    test_process encoder_;
};

TEST_F(Launcher, ReadInstallInfoFindsAnEditionAndItsValues)
{
    register_edition("LatestEZ", "Tessora EZ\\5.0", "C:\\Program Files\\Tessora EZ", "tessora.exe");
    char folder[hx_install_folder_size] = "junk";
    char executable[hx_executable_size] = "junk";
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), 0);
    EXPECT_STREQ(folder, "C:\\Program Files\\Tessora EZ");
    EXPECT_STREQ(executable, "tessora.exe");

    EXPECT_EQ(read_install_info("LatestPro", folder, executable), -1);
    EXPECT_STREQ(folder, "");
    EXPECT_STREQ(executable, "");
}

TEST_F(Launcher, ReadInstallInfoEdgeCases)
{
    char folder[hx_install_folder_size];
    char executable[hx_executable_size];
    // No key at all.
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), -1);

    // The version key is missing: found, with nothing in it.
    register_edition("LatestEZ", "Gone", nullptr, nullptr);
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), 0);
    EXPECT_STREQ(folder, "");
    EXPECT_STREQ(executable, "");

    // InstallDir without Executable.
    register_edition("LatestEZ", "Half", "C:\\Half", nullptr);
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), -1);

    // An executable name of 39 characters fits its 40 bytes; 40 characters do not.
    register_edition("LatestEZ", "Long", "C:\\Long", std::string(39, 'e').c_str());
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), 0);
    EXPECT_EQ(std::strlen(executable), 39u);
    register_edition("LatestEZ", "Long", "C:\\Long", std::string(40, 'e').c_str());
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), -1);

    // A subkey name of 40 characters does not fit either.
    register_edition("LatestEZ", std::string(40, 's'), "C:\\S", "s.exe");
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), -1);

    // The value types are not looked at.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (halvex + "\\Half").c_str(), 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Executable", 0, REG_BINARY, reinterpret_cast<const BYTE*>("bin.exe"), 8);
    RegCloseKey(key);
    register_edition("LatestEZ", "Half", nullptr, nullptr);
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), 0);
    EXPECT_STREQ(executable, "bin.exe");
}

TEST_F(Launcher, ReadInstallInfoReadsKeysThatRefuseWriting)
{
    register_edition("LatestEZ", "Locked\\6.0", "C:\\Locked", "locked.exe");
    const read_only_keys locked({halvex + "\\", halvex + "\\Locked\\6.0"});
    // The key really refuses the access asked first.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (halvex + "\\").c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key),
        ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (halvex + "\\Locked\\6.0").c_str(), 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, &key),
              ERROR_ACCESS_DENIED);

    char folder[hx_install_folder_size];
    char executable[hx_executable_size];
    EXPECT_EQ(read_install_info("LatestEZ", folder, executable), 0);
    EXPECT_STREQ(folder, "C:\\Locked");
    EXPECT_STREQ(executable, "locked.exe");
    EXPECT_EQ(read_install_info("LatestPro", folder, executable), -1);
}

TEST_F(Launcher, AppendBackslash)
{
    char a[16] = "C:\\x";
    append_backslash(a, sizeof a);
    EXPECT_STREQ(a, "C:\\x\\");
    append_backslash(a, sizeof a);
    EXPECT_STREQ(a, "C:\\x\\");
    char empty[4] = "";
    append_backslash(empty, sizeof empty);
    EXPECT_STREQ(empty, "");
}

TEST_F(Launcher, QuickTimeStartsTheProEditionWithItsArguments)
{
    register_edition("LatestPro", "Pro", bin_folder().c_str(), "encoder.exe");
    register_edition("LatestEZ", "EZ", "C:\\nowhere", "missing.exe");
    hx_handle process;
    ASSERT_TRUE(find_or_launch_encoder(&process));
    const std::string log = started_log(process);
    // The program sees its path, then exactly the 19 characters " qtexp  -noprocess ".
    EXPECT_NE(log.find("encoder.exe\"  qtexp  -noprocess ]"), std::string::npos) << log;
    EXPECT_EQ(std::strlen(hx_quicktime_profile.start_arguments), 19u);
}

TEST_F(Launcher, QuickTimeFallsBackToTheEZEdition)
{
    register_edition("LatestEZ", "EZ", (bin_folder() + "\\").c_str(), "encoder.exe");
    hx_handle process;
    ASSERT_TRUE(find_or_launch_encoder(&process));
    const std::string log = started_log(process);
    EXPECT_NE(log.find("qtexp  -noprocess ]"), std::string::npos) << log;
    // A folder that ends in a backslash gets no second one.
    EXPECT_EQ(log.find("\\\\encoder.exe"), std::string::npos) << log;
}

TEST_F(Launcher, PremiereStartsTheEZEditionWithItsArguments)
{
    register_edition("LatestEZ", "EZ", bin_folder().c_str(), "encoder.exe");
    hx_handle process;
    ASSERT_TRUE(hx_launch_encoder(hx_premiere_profile, &process));
    const std::string log = started_log(process);
    EXPECT_NE(log.find("encoder.exe\" nle  -noprocess]"), std::string::npos) << log;
    EXPECT_EQ(std::strlen(hx_premiere_profile.start_arguments), 15u);
}

TEST_F(Launcher, EmptyInstallFolderUsesTheBareFileName)
{
    register_edition("LatestEZ", "EZ", "", "encoder.exe");
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(bin_folder().c_str());
    hx_handle process;
    const bool started = hx_launch_encoder(hx_premiere_profile, &process);
    SetCurrentDirectoryA(previous);
    ASSERT_TRUE(started);
    EXPECT_NE(started_log(process).find("nle  -noprocess]"), std::string::npos);
}

// The program path holds up to 259 characters. OpenFile, which the existence check once used,
// keeps the path in a record of 128 bytes and fails from 128 characters on, under Wine as on
// Windows; both roads start the encoder from a path of 127, 128 and 259 characters.
TEST_F(Launcher, BothRoadsStartAnEncoderWhoseProgramPathIsAsLongAsItMayBe)
{
    // A refusal shows its box: it is answered, and the test says what it said.
    message_box_watch quicktime_box("Tessora Export Component", 3000);
    message_box_watch premiere_box("Save for Web", 3000);
    for (const size_t length : {size_t{127}, size_t{128}, size_t{259}}) {
        const folder_of_length at(length - std::strlen("\\encoder.exe"), "long");
        const std::string program = at.path() + "\\encoder.exe";
        ASSERT_EQ(program.size(), length);
        ASSERT_TRUE(CopyFileA((bin_dir() + "encoder.exe").c_str(), program.c_str(), FALSE)) << GetLastError();
        OFSTRUCT record{};
        EXPECT_EQ(OpenFile(program.c_str(), &record, OF_EXIST) == HFILE_ERROR, length >= 128) << length;

        RegDeleteTreeA(HKEY_LOCAL_MACHINE, halvex.c_str());
        register_edition("LatestPro", "Pro", at.path().c_str(), "encoder.exe");
        hx_handle started;
        ASSERT_TRUE(find_or_launch_encoder(&started)) << length;
        std::string log = started_log(started);
        EXPECT_NE(log.find(program + "\"  qtexp  -noprocess ]"), std::string::npos) << length << log;

        RegDeleteTreeA(HKEY_LOCAL_MACHINE, halvex.c_str());
        // With the trailing backslash the folder may have: the same program path.
        register_edition("LatestEZ", "EZ", (at.path() + "\\").c_str(), "encoder.exe");
        ASSERT_TRUE(hx_launch_encoder(hx_premiere_profile, &started)) << length;
        log = started_log(started);
        EXPECT_NE(log.find(program + "\" nle  -noprocess]"), std::string::npos) << length << log;
    }
    EXPECT_FALSE(quicktime_box.result().found) << quicktime_box.result().text;
    EXPECT_FALSE(premiere_box.result().found) << premiere_box.result().text;
}

TEST_F(Launcher, AFolderWhereTheProgramShouldBeIsNoProgram)
{
    const std::string folder = temp_file("folder");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((folder + "\\encoder.exe").c_str(), nullptr));
    register_edition("LatestPro", "Pro", folder.c_str(), "encoder.exe");
    message_box_watch box("Tessora Export Component");
    EXPECT_FALSE(find_or_launch_encoder());
    EXPECT_EQ(box.result().text, "Cannot find Tessora or Tessora EZ in this folder : " + folder);
    RemoveDirectoryA((folder + "\\encoder.exe").c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST_F(Launcher, QuickTimeWithNoEditionShowsItsMessage)
{
    message_box_watch box("Tessora Export Component");
    EXPECT_FALSE(find_or_launch_encoder());
    const auto& seen = box.result();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.text, "Cannot find Tessora or Tessora EZ on your system");
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_TRUE(seen.error_icon);
}

TEST_F(Launcher, QuickTimeWithAMissingProgramNamesTheFolder)
{
    register_edition("LatestPro", "Pro", "C:\\Tessora Missing", "tessora.exe");
    message_box_watch box("Tessora Export Component");
    EXPECT_FALSE(find_or_launch_encoder());
    EXPECT_EQ(box.result().text, "Cannot find Tessora or Tessora EZ in this folder : C:\\Tessora Missing");

    // "InstallDir" without "Executable": the lookup fails for both editions.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, halvex.c_str());
    register_edition("LatestEZ", "EZ", bin_folder().c_str(), nullptr);
    message_box_watch second("Tessora Export Component");
    EXPECT_FALSE(find_or_launch_encoder());
    EXPECT_EQ(second.result().text, "Cannot find Tessora or Tessora EZ on your system");

    // A missing version key: empty folder and name, nothing after the colon and blank.
    register_edition("LatestEZ", "Gone", nullptr, nullptr);
    message_box_watch third("Tessora Export Component");
    EXPECT_FALSE(find_or_launch_encoder());
    EXPECT_EQ(third.result().text, "Cannot find Tessora or Tessora EZ in this folder : ");
}

class PremiereOwner : public Launcher {
protected:
    void SetUp() override
    {
        Launcher::SetUp();
        owner_ = CreateWindowA("STATIC", "Adobe Premiere", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                               nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(owner_);
        Launcher::TearDown();
    }

    // Runs the Premiere launch expecting it to fail with `text` shown over the host's window.
    void expect_failure(const std::string& text)
    {
        message_box_watch box("Save for Web");
        hx_handle process;
        EXPECT_FALSE(hx_launch_encoder(hx_premiere_profile, &process));
        EXPECT_EQ(process.get(), nullptr);
        const auto& seen = box.result();
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(seen.text, text);
        EXPECT_EQ(seen.owner, owner_);
        EXPECT_TRUE(seen.error_icon);
    }

    HWND owner_ = nullptr;
};

TEST_F(PremiereOwner, OnlyTheProEditionIsNotEnough)
{
    register_edition("LatestPro", "Pro", bin_folder().c_str(), "encoder.exe");
    expect_failure("Cannot find Tessora EZ on your system in this folder : ");
}

TEST_F(PremiereOwner, MissingProgramNamesTheFolder)
{
    register_edition("LatestEZ", "EZ", "C:\\Tessora EZ", "tessora.exe");
    expect_failure("Cannot find Tessora or Tessora EZ in this folder : C:\\Tessora EZ");
}

TEST_F(PremiereOwner, QuickTimeOlderThanVersion4IsRefused)
{
    register_edition("LatestEZ", "EZ", bin_folder().c_str(), "encoder.exe");
    SetEnvironmentVariableA("HX_QT_VERSION", "0x03FFFFFF");
    expect_failure(
        "Tessora requires QuickTime 4 or newer to continue.\nPlease install QuickTime and try again.");
    SetEnvironmentVariableA("HX_QT_VERSION", "-1");
    expect_failure(
        "Tessora requires QuickTime 4 or newer to continue.\nPlease install QuickTime and try again.");

    SetEnvironmentVariableA("HX_QT_VERSION", "0x04000000");
    hx_handle process;
    ASSERT_TRUE(hx_launch_encoder(hx_premiere_profile, &process));
    EXPECT_NE(started_log(process).find("nle  -noprocess]"), std::string::npos);
}

TEST_F(PremiereOwner, MissingQuickTimeIsRefusedAndTheBinderTriesAgain)
{
    register_edition("LatestEZ", "EZ", bin_folder().c_str(), "encoder.exe");
    ASSERT_TRUE(MoveFileA(system_runtime().c_str(), (system_runtime() + ".away").c_str()));
    long version = 0;
    EXPECT_EQ(Gestalt(hx_fourcc("qtim"), &version), hx_qtml_uninitialized);
    EXPECT_FALSE(hx_qt_is_bound());
    expect_failure(
        "Tessora requires QuickTime 4 or newer to continue.\nPlease install QuickTime and try again.");

    ASSERT_TRUE(MoveFileA((system_runtime() + ".away").c_str(), system_runtime().c_str()));
    EXPECT_EQ(Gestalt(hx_fourcc("qtim"), &version), 0);
    EXPECT_TRUE(hx_qt_is_bound());
    EXPECT_GE(version, 0x04000000);
    EXPECT_NE(GetModuleHandleA(system_runtime().c_str()), nullptr);
}

TEST_F(PremiereOwner, StartRefusedBySystemIsAFailure)
{
    // The file exists, but nothing can open it.
    const std::string folder = temp_file("refused");
    CreateDirectoryA(folder.c_str(), nullptr);
    FILE* f = std::fopen((folder + "\\tessora.hxnone").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    register_edition("LatestEZ", "EZ", folder.c_str(), "tessora.hxnone");
    expect_failure("Cannot start Tessora or Tessora EZ in this folder : " + folder);
}

TEST_F(Launcher, RunningEncoderIsWokenWithTheQuickTimeMessageAndNotStarted)
{
    register_edition("LatestPro", "Pro", bin_folder().c_str(), "encoder.exe");
    start_resident();
    hx_handle process;
    ASSERT_TRUE(find_or_launch_encoder(&process));
    ASSERT_TRUE(wait_until([&] { return read_file(log_).find("message 0x577") != std::string::npos; }));
    Sleep(300);
    const std::string log = read_file(log_);
    EXPECT_NE(log.find("message 0x577 wparam 0 lparam 0"), std::string::npos) << log;
    EXPECT_EQ(count(log, "start pid"), 1) << log;
    // The handle is the woken encoder's: it is signalled when that encoder ends, and not before.
    ASSERT_NE(process.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    encoder_.kill();
    EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
}

// XP refuses OpenProcess for any right that came with Vista: the woken encoder's process is
// asked for what its wait needs and nothing else.
TEST_F(Launcher, TheWokenEncodersProcessIsOpenedForWaitingOnly)
{
    start_resident();
    for (const hx_encoder_profile* profile : {&hx_quicktime_profile, &hx_premiere_profile}) {
        hx_handle process;
        ASSERT_TRUE(hx_wake_encoder(*profile, &process));
        ASSERT_NE(process.get(), nullptr);
        EXPECT_EQ(granted_access(process.get()), static_cast<ACCESS_MASK>(SYNCHRONIZE));
    }
}

TEST_F(Launcher, RunningEncoderIsWokenWithThePremiereMessage)
{
    start_resident();
    hx_handle process;
    // No registry and no QuickTime are needed to wake a running encoder.
    SetEnvironmentVariableA("HX_QT_VERSION", "0");
    ASSERT_TRUE(hx_wake_encoder(hx_premiere_profile, &process));
    ASSERT_TRUE(wait_until([&] { return read_file(log_).find("message 0x576") != std::string::npos; }));
    EXPECT_NE(read_file(log_).find("message 0x576 wparam 0 lparam 0"), std::string::npos);
    EXPECT_EQ(count(read_file(log_), "start pid"), 1);
}

TEST_F(Launcher, NoWindowMeansNoWake)
{
    hx_handle process;
    EXPECT_FALSE(hx_wake_encoder(hx_premiere_profile, &process));
    EXPECT_EQ(process.get(), nullptr);
}

TEST_F(Launcher, KilledEncoderIsDetectedWhetherWokenOrStarted)
{
    start_resident();
    hx_handle woken;
    ASSERT_TRUE(hx_wake_encoder(hx_quicktime_profile, &woken));
    hx_semaphore semaphore;
    ASSERT_TRUE(semaphore.create(unique_name("woken").c_str(), 0, 1));
    ASSERT_TRUE(semaphore.watch(woken.get()));
    encoder_.kill();
    semaphore.wait();
    EXPECT_NE(semaphore.aborted(), 0);

    register_edition("LatestEZ", "EZ", bin_folder().c_str(), "encoder.exe");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--open-timeout 60000");
    hx_handle started;
    ASSERT_TRUE(hx_launch_encoder(hx_premiere_profile, &started));
    ASSERT_TRUE(semaphore.watch(started.get()));
    EXPECT_EQ(semaphore.aborted(), 0);
    TerminateProcess(started.get(), 9);
    semaphore.wait();
    EXPECT_NE(semaphore.aborted(), 0);
}

TEST(EncoderWaitLimit, TheUsersValueThenTheMachinesThenTheDefault)
{
    ASSERT_EQ(std::string(hx_settings_key), bridges_settings_key);
    EXPECT_EQ(hx_encoder_wait_limit(), 120000u);
    {
        const scoped_registry_value machine(HKEY_LOCAL_MACHINE, bridges_settings_key, encoder_wait_value, 7);
        ASSERT_TRUE(machine.set());
        EXPECT_EQ(hx_encoder_wait_limit(), 7000u);
        {
            const scoped_registry_value user(HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 3);
            EXPECT_EQ(hx_encoder_wait_limit(), 3000u);
        }
        {
            // A value of another kind cannot be read: the next place counts.
            const scoped_registry_value user(HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value,
                                             REG_SZ, "3", 2);
            EXPECT_EQ(hx_encoder_wait_limit(), 7000u);
        }
        {
            const scoped_registry_value user(HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 0);
            EXPECT_EQ(hx_encoder_wait_limit(), INFINITE);
        }
    }
    {
        // The longest wait a timed wait can take, never INFINITE by overflow.
        const scoped_registry_value machine(HKEY_LOCAL_MACHINE, bridges_settings_key, encoder_wait_value,
                                            0xFFFFFFFFu);
        EXPECT_EQ(hx_encoder_wait_limit(), (INFINITE - 1) / 1000 * 1000);
    }
    EXPECT_EQ(hx_encoder_wait_limit(), 120000u);
}

TEST(QuickTimeBinding, ReReferencesARuntimeTheHostLoaded)
{
    // The host has a runtime loaded from a folder of its own.
    const std::string own = bin_dir() + "QuickTime.qts";
    const HMODULE host = LoadLibraryA(own.c_str());
    ASSERT_NE(host, nullptr);
    long version = 0;
    EXPECT_EQ(Gestalt(hx_fourcc("qtim"), &version), 0);
    EXPECT_TRUE(hx_qt_is_bound());
    // Nothing was loaded from the system folder, and no reference of ours stays behind.
    EXPECT_EQ(GetModuleHandleA(system_runtime().c_str()), nullptr);
    EXPECT_EQ(GetModuleHandleA("QuickTime.qts"), host);
    FreeLibrary(host);
    EXPECT_EQ(GetModuleHandleA(own.c_str()), nullptr);
    hx_qt_unbind();
}

TEST(QuickTimeBinding, ForwardingLeavesTheCallersFrameAlone)
{
    // Many calls in a row: a stub or dispatcher that popped arguments or clobbered the frame
    // would have broken the stack long before the end.
    long total = 0;
    for (int i = 0; i < 10000; ++i) {
        long version = 0;
        const OSErr err = Gestalt(hx_fourcc("qtim"), &version);
        total += err == 0 && version == 0x07608000 ? 1 : 0;
    }
    EXPECT_EQ(total, 10000);
    long unused = 0;
    EXPECT_NE(Gestalt(hx_fourcc("none"), &unused), 0);
}

}  // namespace
