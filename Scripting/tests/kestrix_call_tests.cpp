// The form's buttons against the automation stand-in: what each sends, how the object is
// created and replaced, and how a failure ends the program.
#include "kestrix_driver.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;

constexpr char clsid_text[] = "{50D994EE-8834-11D3-8BBE-0000E85F332D}";

class KestrixTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(register_automation_standin());
        ASSERT_TRUE(form.start());
    }

    // Creates the object with "This Computer".
    void create_here()
    {
        const size_t before = form.log().size();
        ASSERT_TRUE(form.click(IDC_StartLocal));
        ASSERT_GT(form.log().size(), before) << "no object was created";
    }

    // The number as the failure box shows it: hexadecimal and signed decimal.
    static std::string number_of(uint32_t code)
    {
        char text[64];
        std::snprintf(text, sizeof text, "0x%08X (%d)", static_cast<unsigned>(code),
                      static_cast<int32_t>(code));
        return text;
    }

    static bool contains(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }

    kestrix_run form;
};

using Calls = KestrixTest;
using Creation = KestrixTest;
using Failures = KestrixTest;

// The ANSI text as the object receives it, in UTF-8 (the stand-in's log).
std::string as_received(const std::string& ansi)
{
    const int wide_size =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(wide_size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], wide_size);
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace

TEST_F(Calls, StringButtonsSendTheTextOfTheirBox)
{
    create_here();
    ASSERT_TRUE(form.type(IDC_DestinationText, "C:\\out\\web"));
    ASSERT_TRUE(form.type(IDC_SettingAltsText, "alts: 56k, ISDN"));
    ASSERT_TRUE(form.type(IDC_SettingText, "Web / 300 kbps"));
    ASSERT_TRUE(form.type(IDC_XMLSettingText, "<setting name=\"a\"/>"));
    ASSERT_TRUE(form.type(IDC_ItemDestinationText, "D:\\items"));
    ASSERT_TRUE(form.type(IDC_AddText, "E:\\clips\\one.avi"));

    for (const int button :
         {IDC_Destination, IDC_SettingAlts, IDC_Setting, IDC_XMLSetting, IDC_ItemDestination, IDC_Add})
        ASSERT_TRUE(form.click(button)) << button;

    EXPECT_EQ(form.calls(), (lines{
                                "#1 SetDestination(\"C:\\\\out\\\\web\")",
                                "#1 SetSettingAlts(\"alts: 56k, ISDN\")",
                                "#1 SetSetting(\"Web / 300 kbps\")",
                                "#1 SetXMLSetting(\"<setting name=\\\"a\\\"/>\")",
                                "#1 SetItemDestination(\"D:\\\\items\")",
                                "#1 AddItem(\"E:\\\\clips\\\\one.avi\")",
                            }));
}

TEST_F(Calls, ButtonsWithoutArgumentsCallTheirMethods)
{
    create_here();
    for (const int button : {IDC_SelectAll, IDC_Suspend, IDC_Clear})
        ASSERT_TRUE(form.click(button)) << button;
    EXPECT_EQ(form.calls(), (lines{"#1 SelectAllItems()", "#1 SuspendEncoding()", "#1 ClearItems()"}));
}

TEST_F(Calls, StartSendsTheDestinationTextAndOne)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_Start));
    ASSERT_TRUE(form.type(IDC_DestinationText, "F:\\encoded"));
    ASSERT_TRUE(form.type(IDC_ItemDestinationText, "not this one"));
    ASSERT_TRUE(form.click(IDC_Start));
    EXPECT_EQ(form.calls(),
              (lines{"#1 StartEncoding(\"Text1\", 1)", "#1 StartEncoding(\"F:\\\\encoded\", 1)"}));
}

TEST_F(Calls, TextIsReadAtTheMomentOfTheClick)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_Setting));
    ASSERT_TRUE(form.type(IDC_SettingText, "second"));
    ASSERT_TRUE(form.click(IDC_Setting));
    ASSERT_TRUE(form.type(IDC_SettingText, ""));
    ASSERT_TRUE(form.click(IDC_Setting));
    const std::string accented = "Gr\xFC\xDF"
                                 "e \xE9t\xE9";
    ASSERT_TRUE(form.type(IDC_SettingText, accented));
    ASSERT_TRUE(form.click(IDC_Setting));
    EXPECT_EQ(form.calls(), (lines{
                                "#1 SetSetting(\"Text1\")",
                                "#1 SetSetting(\"second\")",
                                "#1 SetSetting(\"\")",
                                "#1 SetSetting(\"" + as_received(accented) + "\")",
                            }));
    // The form keeps no copy: the box still shows what was typed last.
    EXPECT_EQ(form.text(IDC_SettingText), accented);
}

TEST_F(Calls, ReadyShowsReadyOrBusyUntilTheNextPress)
{
    create_here();
    EXPECT_EQ(form.text(IDC_ReadyText), "Text1");

    form.control("ready 1\n");
    ASSERT_TRUE(form.click(IDC_Ready));
    EXPECT_EQ(form.text(IDC_ReadyText), "Ready");
    ASSERT_TRUE(form.click(IDC_Clear));
    EXPECT_EQ(form.text(IDC_ReadyText), "Ready");

    form.control("ready 0\n");
    ASSERT_TRUE(form.click(IDC_Ready));
    EXPECT_EQ(form.text(IDC_ReadyText), "Busy");

    form.control("ready -7\n");
    ASSERT_TRUE(form.click(IDC_Ready));
    EXPECT_EQ(form.text(IDC_ReadyText), "Ready");

    // Each call finds the form's integer at 0.
    EXPECT_EQ(form.calls(),
              (lines{"#1 IsReady(in 0)", "#1 IsReady -> 1", "#1 ClearItems()", "#1 IsReady(in 0)",
                     "#1 IsReady -> 0", "#1 IsReady(in 0)", "#1 IsReady -> -7"}));
}

TEST_F(Calls, ReadyReadsBusyWhenTheObjectLeavesTheIntegerAlone)
{
    create_here();
    form.control("ready 1\n");
    ASSERT_TRUE(form.click(IDC_Ready));
    form.control("ready keep\n");
    ASSERT_TRUE(form.click(IDC_Ready));
    EXPECT_EQ(form.text(IDC_ReadyText), "Busy");
    EXPECT_TRUE(form.log_has("#1 IsReady -> kept"));
}

TEST_F(Calls, ExitCallsExitEncoderAndKeepsTheFormAndTheObject)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_ExitButton));
    EXPECT_TRUE(IsWindow(form.form()));
    EXPECT_EQ(form.wait_exit(300), STILL_ACTIVE);

    ASSERT_TRUE(form.click(IDC_Suspend));
    EXPECT_EQ(form.calls(), (lines{"#1 ExitEncoder()", "#1 SuspendEncoding()"}));
    EXPECT_FALSE(form.log_has("#1 destroyed"));
}

TEST_F(Calls, MethodButtonBeforeAnyCreationExplainsAndKeepsTheForm)
{
    for (const int button :
         {IDC_Destination, IDC_SettingAlts, IDC_SelectAll, IDC_Start, IDC_Suspend, IDC_Setting,
          IDC_XMLSetting, IDC_ItemDestination, IDC_Add, IDC_Clear, IDC_Ready, IDC_ExitButton}) {
        SCOPED_TRACE(button);
        const message_box_seen box = form.click_into_message_box(button);
        ASSERT_TRUE(box.found);
        EXPECT_EQ(box.caption, "Tessora 5 Kestrix");
        EXPECT_TRUE(contains(box.text, "No Tessora object has been created yet")) << box.text;
        EXPECT_EQ(box.owner, form.form());
        EXPECT_TRUE(box.icon);
        ASSERT_TRUE(form.running());
    }
    EXPECT_EQ(form.text(IDC_ReadyText), "Text1");
    EXPECT_TRUE(form.log().empty());

    // The form goes on working.
    create_here();
    ASSERT_TRUE(form.click(IDC_Clear));
    EXPECT_EQ(form.calls(), lines{"#1 ClearItems()"});
}

TEST_F(Creation, ThisComputerCreatesByClassIdentifierAskingForITessora)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_StartLocal));
    // The second request is seen on its way to COM (the stand-in was loaded by the first).
    const int request =
        form.log_index(std::string("ole32 CoCreateInstance(") + clsid_text + ", context 0x5, ITessora)");
    EXPECT_GE(request, 0);
    EXPECT_LT(request, form.log_index("#2 created as ITessora"));
    for (const std::string& line : form.log())
        EXPECT_EQ(line.find("CLSIDFromProgID"), std::string::npos) << line;
}

TEST_F(Creation, RemoteComputerAsksForTheComputerNamedInTheBox)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_LaunchRemote));
    ASSERT_TRUE(form.type(IDC_LocationText, "encoder-host"));
    ASSERT_TRUE(form.click(IDC_LaunchRemote));
    ASSERT_TRUE(form.click(IDC_Add));

    const lines log = form.log();
    const std::string request =
        std::string("ole32 CoCreateInstanceEx(") + clsid_text + ", context 0x15, server ";
    EXPECT_TRUE(form.log_has("ole32 CLSIDFromProgID(\"TessoraLib.Tessora\")"));
    EXPECT_TRUE(form.log_has(request + "\"Text1\", IUnknown)"));
    EXPECT_TRUE(form.log_has(request + "\"encoder-host\", IUnknown)"));
    // The form asks the new object for ITessora itself.
    EXPECT_TRUE(form.log_has("#3 QueryInterface(ITessora)"));
    EXPECT_EQ(form.calls(), lines{"#3 AddItem(\"Text1\")"});
}

TEST_F(Creation, RemoteComputerWithAnEmptyBoxCreatesHereThroughTheProgID)
{
    ASSERT_TRUE(form.type(IDC_LocationText, ""));
    // The first creation, through the ProgID, shows in the object's own lines.
    ASSERT_TRUE(form.click(IDC_LaunchRemote));
    EXPECT_EQ(form.log(), (lines{"#1 created as IUnknown", "#1 QueryInterface(IUnknown)",
                                 "#1 QueryInterface(ITessora)"}));

    ASSERT_TRUE(form.click(IDC_LaunchRemote));
    const int progid = form.log_index("ole32 CLSIDFromProgID(\"TessoraLib.Tessora\")");
    const int request = form.log_index(std::string("ole32 CoCreateInstanceEx(") + clsid_text +
                                       ", context 0x15, server none, IUnknown)");
    EXPECT_GE(progid, 0);
    EXPECT_GT(request, progid);
    EXPECT_GT(form.log_index("#2 QueryInterface(ITessora)"), request);
}

TEST_F(Creation, EachCreationReleasesTheObjectHeldBefore)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_StartLocal));
    EXPECT_GT(form.log_index("#1 destroyed"), form.log_index("#2 created as ITessora"));
    ASSERT_TRUE(form.click(IDC_Clear));

    // Through the ProgID: the previous object goes, and no temporary reference stays behind on
    // the new one, so the next creation destroys it.
    ASSERT_TRUE(form.type(IDC_LocationText, ""));
    ASSERT_TRUE(form.click(IDC_LaunchRemote));
    EXPECT_TRUE(form.log_has("#2 destroyed"));
    ASSERT_TRUE(form.click(IDC_StartLocal));
    EXPECT_TRUE(form.log_has("#3 destroyed"));
    ASSERT_TRUE(form.click(IDC_Clear));

    EXPECT_EQ(form.calls(), (lines{"#2 ClearItems()", "#4 ClearItems()"}));
    EXPECT_EQ(form.close(), 0u);
    EXPECT_EQ(form.log().back(), "#4 destroyed");
}

TEST_F(Creation, ClosingTheFormReleasesTheObjectAndEndsTheProgram)
{
    create_here();
    ASSERT_TRUE(form.click(IDC_Setting));
    EXPECT_EQ(form.close(), 0u);
    EXPECT_EQ(form.log().back(), "#1 destroyed");
}

TEST_F(Creation, ClosingWhileACallIsUnderWayWaitsForTheCallToReturn)
{
    // The stand-in lets messages in during the call, as a call to another process may.
    form.control("pump SetSetting 1500\n");
    create_here();
    form.click_later(IDC_Setting);
    ASSERT_TRUE(wait_until([&] { return form.log_has("#1 SetSetting(\"Text1\")"); }, kestrix_timeout_ms));
    PostMessageA(form.form(), WM_CLOSE, 0, 0);

    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 0u);
    const lines log = form.log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(lines(log.end() - 3, log.end()),
              (lines{"#1 SetSetting(\"Text1\")", "#1 SetSetting returns", "#1 destroyed"}));
    EXPECT_FALSE(form.log_has("#1 released during a call"));
}

namespace {

struct failing_button {
    int button;
    const char* method;
    const char* call;  // the logged call, arguments as typed by the test
};

void PrintTo(const failing_button& failing, std::ostream* out)
{
    *out << failing.method;
}

class FailingMethod : public KestrixTest, public testing::WithParamInterface<failing_button> {};

const failing_button failing_buttons[] = {
    {IDC_Destination, "SetDestination", "SetDestination(\"Text1\")"},
    {IDC_SettingAlts, "SetSettingAlts", "SetSettingAlts(\"Text1\")"},
    {IDC_SelectAll, "SelectAllItems", "SelectAllItems()"},
    {IDC_Start, "StartEncoding", "StartEncoding(\"Text1\", 1)"},
    {IDC_Suspend, "SuspendEncoding", "SuspendEncoding()"},
    {IDC_Setting, "SetSetting", "SetSetting(\"Text1\")"},
    {IDC_XMLSetting, "SetXMLSetting", "SetXMLSetting(\"Text1\")"},
    {IDC_ItemDestination, "SetItemDestination", "SetItemDestination(\"Text1\")"},
    {IDC_Add, "AddItem", "AddItem(\"Text1\")"},
    {IDC_Clear, "ClearItems", "ClearItems()"},
    {IDC_Ready, "IsReady", "IsReady(in 0)"},
    {IDC_ExitButton, "ExitEncoder", "ExitEncoder()"},
};

}  // namespace

TEST_P(FailingMethod, ShowsTheObjectsDescriptionAndEndsTheProgram)
{
    const failing_button& failing = GetParam();
    form.control(std::string("fail ") + failing.method + " 0x80041234 The encoder refused " + failing.method +
                 ".\n");
    create_here();

    const message_box_seen box = form.click_into_message_box(failing.button);
    ASSERT_TRUE(box.found);
    EXPECT_EQ(box.caption, "Tessora 5 Kestrix");
    EXPECT_TRUE(contains(box.text, number_of(0x80041234))) << box.text;
    EXPECT_TRUE(contains(box.text, std::string("The encoder refused ") + failing.method + ".")) << box.text;
    EXPECT_TRUE(contains(box.text, std::string("ITessora::") + failing.method)) << box.text;
    EXPECT_EQ(box.owner, form.form());
    EXPECT_TRUE(box.icon);

    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
    EXPECT_EQ(form.calls(), lines{std::string("#1 ") + failing.call + " -> 0x80041234"});
    EXPECT_EQ(form.log().back(), "#1 destroyed");
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, FailingMethod, testing::ValuesIn(failing_buttons),
                         [](const testing::TestParamInfo<failing_button>& info) {
                             return std::string(info.param.method);
                         });

TEST_F(Failures, WithoutErrorInformationTheBoxStillGivesTheNumber)
{
    form.control("fail ClearItems 0x80004005\n");
    create_here();
    const message_box_seen box = form.click_into_message_box(IDC_Clear);
    ASSERT_TRUE(box.found);
    EXPECT_TRUE(contains(box.text, number_of(0x80004005))) << box.text;
    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
}

TEST_F(Failures, ErrorInformationIsUsedOnlyWhenTheObjectSupportsItForITessora)
{
    form.control("nosupport\nfail AddItem 0x8004A001 Words the object did not vouch for\n");
    create_here();
    const message_box_seen box = form.click_into_message_box(IDC_Add);
    ASSERT_TRUE(box.found);
    EXPECT_TRUE(contains(box.text, number_of(0x8004A001))) << box.text;
    EXPECT_FALSE(contains(box.text, "Words the object did not vouch for")) << box.text;
    EXPECT_TRUE(form.log_has("#1 QueryInterface(ISupportErrorInfo)"));
    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
}

TEST_F(Failures, FailedCreationOnThisComputerShowsTheErrorAndEnds)
{
    form.control("fail create 0x80040111 The encoder is not installed.\n");
    const message_box_seen box = form.click_into_message_box(IDC_StartLocal);
    ASSERT_TRUE(box.found);
    EXPECT_TRUE(contains(box.text, number_of(0x80040111))) << box.text;
    EXPECT_TRUE(contains(box.text, "The encoder is not installed.")) << box.text;
    EXPECT_TRUE(box.icon);
    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
}

TEST_F(Failures, FailedCreationOnANamedComputerShowsTheErrorAndEnds)
{
    form.control("fail create 0x800706BA The computer cannot be reached.\n");
    const message_box_seen box = form.click_into_message_box(IDC_LaunchRemote);
    ASSERT_TRUE(box.found);
    EXPECT_TRUE(contains(box.text, number_of(0x800706BA))) << box.text;
    EXPECT_TRUE(contains(box.text, "Text1")) << box.text;
    EXPECT_TRUE(contains(box.text, "The computer cannot be reached.")) << box.text;
    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
}

TEST_F(Failures, ObjectWithoutITessoraEndsTheProgramAndIsReleased)
{
    form.control("refuse ITessora\n");
    const message_box_seen box = form.click_into_message_box(IDC_LaunchRemote);
    ASSERT_TRUE(box.found);
    EXPECT_TRUE(contains(box.text, number_of(static_cast<uint32_t>(E_NOINTERFACE)))) << box.text;
    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
    // The temporary reference went on the way out.
    EXPECT_TRUE(form.log_has("#1 QueryInterface(ITessora) -> refused"));
    EXPECT_EQ(form.log().back(), "#1 destroyed");
}

TEST_F(Failures, ClicksWhileTheFailureIsShownAreIgnored)
{
    form.control("fail SetSetting 0x80041234 No such setting.\n");
    create_here();
    form.click_later(IDC_Setting);
    const message_box_seen box = form.wait_message_box(false);
    ASSERT_TRUE(box.found);

    // Clicks that reach the buttons while the box is up run no handler.
    EXPECT_TRUE(form.click(IDC_Clear));
    EXPECT_TRUE(form.click(IDC_StartLocal));
    EXPECT_TRUE(form.wait_message_box(true).found);
    EXPECT_EQ(form.wait_exit(kestrix_timeout_ms), 1u);
    EXPECT_EQ(form.calls(), lines{"#1 SetSetting(\"Text1\") -> 0x80041234"});
    EXPECT_FALSE(form.log_has("#2 created as ITessora"));
}
