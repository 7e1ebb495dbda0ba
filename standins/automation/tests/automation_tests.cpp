// The automation stand-in loaded into the test program: registration, the slots of ITessora
// by number, what it logs, and how it answers as the control file says.
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

// {50D994EE-8834-11D3-8BBE-0000E85F332D}
const CLSID clsid_tessora = {0x50D994EE, 0x8834, 0x11D3, {0x8B, 0xBE, 0x00, 0x00, 0xE8, 0x5F, 0x33, 0x2D}};
// {50D994ED-8834-11D3-8BBE-0000E85F332D}
const IID iid_tessora = {0x50D994ED, 0x8834, 0x11D3, {0x8B, 0xBE, 0x00, 0x00, 0xE8, 0x5F, 0x33, 0x2D}};

using lines = std::vector<std::string>;

// Calls slot `slot` of an interface's table, as a client that knows only the slot numbers.
template <class... Args> HRESULT call_slot(IUnknown* object, int slot, Args... args)
{
    using method = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, Args...);
    void** table = *reinterpret_cast<void***>(object);
    return reinterpret_cast<method>(table[slot])(object, args...);
}

std::string registry_string(const std::string& path, const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "<missing>";
    char value[MAX_PATH] = "";
    DWORD size = sizeof value;
    DWORD type = 0;
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? value : "<missing>";
}

class Automation : public testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        SetEnvironmentVariableA("TESSORA_AUTOMATION_LOG", log_path_.c_str());
        SetEnvironmentVariableA("TESSORA_AUTOMATION_CONTROL", control_path_.c_str());
        control("");
        const HMODULE library = LoadLibraryA(dll().c_str());
        ASSERT_NE(library, nullptr);
        const auto do_register =
            reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(library, "DllRegisterServer"));
        ASSERT_NE(do_register, nullptr);
        ASSERT_EQ(do_register(), S_OK);
        FreeLibrary(library);
    }
    void TearDown() override
    {
        if (object_ != nullptr)
            object_->Release();
        CoUninitialize();
        DeleteFileA(log_path_.c_str());
        DeleteFileA(control_path_.c_str());
    }

    static std::string dll() { return bin_dir() + "tessora_automation.dll"; }

    void control(const std::string& text)
    {
        FILE* file = std::fopen(control_path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }

    IUnknown* create()
    {
        EXPECT_EQ(CoCreateInstance(clsid_tessora, nullptr, CLSCTX_INPROC_SERVER, iid_tessora,
                                   reinterpret_cast<void**>(&object_)),
                  S_OK);
        return object_;
    }

    lines log() const
    {
        lines out;
        std::istringstream text(read_file(log_path_));
        std::string line;
        while (std::getline(text, line))
            out.push_back(line);
        return out;
    }

    // The log from the first line that starts with `start` on.
    lines log_from(const std::string& start) const
    {
        const lines all = log();
        for (size_t k = 0; k < all.size(); ++k)
            if (all[k].compare(0, start.size(), start) == 0)
                return lines(all.begin() + static_cast<std::ptrdiff_t>(k), all.end());
        return {};
    }

    std::string log_path_ = temp_file("automation.log");
    std::string control_path_ = temp_file("automation.control");
    IUnknown* object_ = nullptr;
};

}  // namespace

TEST_F(Automation, RegistersTheClassAndItsProgID)
{
    const std::string key = "CLSID\\{50D994EE-8834-11D3-8BBE-0000E85F332D}";
    EXPECT_STRCASEEQ(registry_string(key + "\\InprocServer32", nullptr).c_str(), dll().c_str());
    EXPECT_EQ(registry_string(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(registry_string(key + "\\ProgID", nullptr), "TessoraLib.Tessora");
    EXPECT_EQ(registry_string("TessoraLib.Tessora\\CLSID", nullptr),
              "{50D994EE-8834-11D3-8BBE-0000E85F332D}");

    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"TessoraLib.Tessora", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, clsid_tessora));
}

TEST_F(Automation, EverySlotLogsItsMethodWithItsArguments)
{
    IUnknown* object = create();
    ASSERT_NE(object, nullptr);
    BSTR text = SysAllocString(L"x");
    LONG ready = 0;
    for (int slot : {3, 4, 8, 9, 10, 11})
        EXPECT_EQ(call_slot(object, slot, text), S_OK) << slot;
    EXPECT_EQ(call_slot(object, 6, text, LONG{1}), S_OK);
    for (int slot : {5, 7, 12, 14})
        EXPECT_EQ(call_slot(object, slot), S_OK) << slot;
    EXPECT_EQ(call_slot(object, 13, &ready), S_OK);
    SysFreeString(text);

    EXPECT_EQ(log_from("#1 SetDestination"),
              (lines{"#1 SetDestination(\"x\")", "#1 SetSettingAlts(\"x\")", "#1 SetSetting(\"x\")",
                     "#1 SetXMLSetting(\"x\")", "#1 SetItemDestination(\"x\")", "#1 AddItem(\"x\")",
                     "#1 StartEncoding(\"x\", 1)", "#1 SelectAllItems()", "#1 SuspendEncoding()",
                     "#1 ClearItems()", "#1 ExitEncoder()", "#1 IsReady(in 0)", "#1 IsReady -> 1"}));
    EXPECT_EQ(ready, 1);
}

TEST_F(Automation, LogsTheWholeStringEscapedAsUtf8)
{
    IUnknown* object = create();
    ASSERT_NE(object, nullptr);
    const wchar_t raw[] = L"a\"b\\c\nd\0e \x00E9";
    BSTR text = SysAllocStringLen(raw, 11);
    EXPECT_EQ(call_slot(object, 11, text), S_OK);
    EXPECT_EQ(call_slot(object, 11, static_cast<BSTR>(nullptr)), S_OK);
    SysFreeString(text);
    EXPECT_EQ(log_from("#1 AddItem"),
              (lines{"#1 AddItem(\"a\\\"b\\\\c\\nd\\x00e \xC3\xA9\")", "#1 AddItem(null)"}));
}

TEST_F(Automation, AnswersIsReadyAsTheControlFileSays)
{
    IUnknown* object = create();
    ASSERT_NE(object, nullptr);
    LONG ready = 0;
    control("ready 0\n");
    EXPECT_EQ(call_slot(object, 13, &ready), S_OK);
    EXPECT_EQ(ready, 0);
    control("ready -3\n");
    EXPECT_EQ(call_slot(object, 13, &ready), S_OK);
    EXPECT_EQ(ready, -3);
    control("ready keep\n");
    ready = 77;
    EXPECT_EQ(call_slot(object, 13, &ready), S_OK);
    EXPECT_EQ(ready, 77);
    EXPECT_EQ(log_from("#1 IsReady"), (lines{"#1 IsReady(in 0)", "#1 IsReady -> 0", "#1 IsReady(in 0)",
                                             "#1 IsReady -> -3", "#1 IsReady(in 77)", "#1 IsReady -> kept"}));
}

TEST_F(Automation, FailsTheChosenMethodWithErrorInformation)
{
    IUnknown* object = create();
    ASSERT_NE(object, nullptr);
    control("fail SetXMLSetting 0x80041001 Bad XML: no root.\n");
    BSTR text = SysAllocString(L"<x");
    EXPECT_EQ(call_slot(object, 9, text), static_cast<HRESULT>(0x80041001));

    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(iid_tessora), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR description = nullptr;
    BSTR source = nullptr;
    GUID guid{};
    info->GetDescription(&description);
    info->GetSource(&source);
    info->GetGUID(&guid);
    EXPECT_STREQ(description, L"Bad XML: no root.");
    EXPECT_STREQ(source, L"TessoraLib.Tessora");
    EXPECT_TRUE(IsEqualGUID(guid, iid_tessora));
    SysFreeString(description);
    SysFreeString(source);
    info->Release();

    // Other methods go on working; "nosupport" withdraws the promise of error information.
    EXPECT_EQ(call_slot(object, 8, text), S_OK);
    control("nosupport\n");
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(iid_tessora), S_FALSE);
    support->Release();
    SysFreeString(text);
    EXPECT_EQ(log_from("#1 SetXMLSetting"),
              (lines{"#1 SetXMLSetting(\"<x\") -> 0x80041001", "#1 QueryInterface(ISupportErrorInfo)",
                     "#1 SetSetting(\"<x\")"}));
}

TEST_F(Automation, CanRefuseITessoraAndFailCreation)
{
    control("refuse ITessora\n");
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid_tessora, nullptr, CLSCTX_INPROC_SERVER, iid_tessora,
                               reinterpret_cast<void**>(&object)),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(log().back(), "#1 destroyed");

    control("fail create 0x80040111 Not today.\n");
    EXPECT_EQ(CoCreateInstance(clsid_tessora, nullptr, CLSCTX_INPROC_SERVER, iid_tessora,
                               reinterpret_cast<void**>(&object)),
              static_cast<HRESULT>(0x80040111));
    EXPECT_EQ(log().back(), "create as ITessora -> 0x80040111");
}

TEST_F(Automation, SeesTheCreationRequestsOfTheProgramThatLoadedIt)
{
    ASSERT_NE(create(), nullptr);
    // From now on the program's own requests are recorded with the server they name.
    COSERVERINFO server{};
    server.pwszName = const_cast<LPWSTR>(L"far-away");
    MULTI_QI query{&IID_IUnknown, nullptr, S_OK};
    ASSERT_EQ(CoCreateInstanceEx(clsid_tessora, nullptr, CLSCTX_SERVER, &server, 1, &query), S_OK);
    query.pItf->Release();
    EXPECT_EQ(log_from("ole32"),
              (lines{"ole32 CoCreateInstanceEx({50D994EE-8834-11D3-8BBE-0000E85F332D}, context 0x15, server "
                     "\"far-away\", IUnknown)",
                     "#2 created as IUnknown", "#2 QueryInterface(IUnknown)", "#2 destroyed"}));
}
