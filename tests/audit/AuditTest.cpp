// The audit trail. Each event kind is made by the product's own path in a
// child process (this program run again with one scenario, or the launcher),
// and read back from Wine's event log stub, which prints every event on the
// "eventlog" debug channel: a "ReportEventW (handle,type,category,id,...)"
// line, then one line per insert. The message file is read with
// FormatMessage for every id.

#include "common/AuditTrail.h"
#include "common/OfficeAddins.h"
#include "tests/soak/RequestMix.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char c_szScenarioVariable[] = "VM_AUDIT_SCENARIO";
// Longer than a minute: the flood scenario waits out the audit trail's minute.
constexpr DWORD c_dwChildTimeoutMs = 120000;

struct LoggedEvent {
    unsigned m_uType;
    unsigned m_uId;
    std::vector<std::string> m_inserts;
};

// "L\"text\"" as Wine prints a wide text: a backslash doubled, a quote escaped.
std::string Unescape(const std::string& a_strPrinted)
{
    std::string strText;
    for (size_t i = 0; i < a_strPrinted.size(); ++i) {
        if (a_strPrinted[i] == '\\' && i + 1 < a_strPrinted.size())
            ++i;
        strText += a_strPrinted[i];
    }
    return strText;
}

// The events printed in a_strLog: the stub's "fixme:advapi:ReportEventW (" line
// gives type and id, the "...:eventlog:ReportEventW L\"...\"" lines after it
// the inserts.
std::vector<LoggedEvent> ParseEvents(const std::string& a_strLog)
{
    std::vector<LoggedEvent> events;
    for (const std::string& strLine : vmtest::SplitLines(a_strLog)) {
        size_t iCall = strLine.find(":advapi:ReportEventW (");
        size_t iInsert = strLine.find(":eventlog:ReportEventW L\"");
        if (iCall != std::string::npos) {
            unsigned uType = 0, uCategory = 0, uId = 0;
            const char* szArgs = strLine.c_str() + strLine.find(',', iCall) + 1;
            if (std::sscanf(szArgs, "0x%x,0x%x,0x%x", &uType, &uCategory, &uId) == 3)
                events.push_back({uType, uId, {}});
        } else if (iInsert != std::string::npos && !events.empty() && strLine.back() == '"') {
            size_t iText = iInsert + std::strlen(":eventlog:ReportEventW L\"");
            events.back().m_inserts.push_back(Unescape(strLine.substr(iText, strLine.size() - iText - 1)));
        }
    }
    return events;
}

// Runs a_strExe with the event log channel on and answers the events it (and
// any process it started before ending) printed.
std::vector<LoggedEvent> EventsOfChild(const std::string& a_strExe, const std::vector<std::string>& a_args,
                                       const char* a_szScenario)
{
    std::string strLogPath = vmtest::WindowsPathFromEnv("VM_STDERR_FILE");
    size_t cbBefore = vmtest::ReadFile(strLogPath).size();
    SetEnvironmentVariableA("WINEDEBUG", "fixme+advapi,warn+eventlog,trace+eventlog,err+eventlog");
    SetEnvironmentVariableA(c_szScenarioVariable, a_szScenario);
    vmtest::CToolChild child;
    bool bStarted = child.Start(a_strExe, a_args);
    DWORD dwError = GetLastError();
    SetEnvironmentVariableA(c_szScenarioVariable, nullptr);
    SetEnvironmentVariableA("WINEDEBUG", "-all");
    EXPECT_TRUE(bStarted) << child.CommandLine() << ": error " << dwError;
    EXPECT_TRUE(bStarted && child.Wait(c_dwChildTimeoutMs)) << child.CommandLine() << " did not end";
    std::string strLog = vmtest::ReadFile(strLogPath);
    return ParseEvents(strLog.size() > cbBefore ? strLog.substr(cbBefore) : std::string());
}

std::string Dump(const std::vector<LoggedEvent>& a_events)
{
    std::string strDump;
    for (const LoggedEvent& event : a_events) {
        strDump += "  | type " + std::to_string(event.m_uType) + " id " + std::to_string(event.m_uId);
        for (const std::string& strInsert : event.m_inserts)
            strDump += " [" + strInsert + "]";
        strDump += "\n";
    }
    return strDump;
}

size_t CountEvents(const std::vector<LoggedEvent>& a_events, unsigned a_uType, unsigned a_uId,
                   const char* a_szNamed)
{
    size_t cFound = 0;
    for (const LoggedEvent& event : a_events) {
        bool bNamed = !a_szNamed;
        for (const std::string& strInsert : event.m_inserts)
            bNamed = bNamed || strInsert.find(a_szNamed) != std::string::npos;
        cFound += event.m_uType == a_uType && event.m_uId == a_uId && bNamed;
    }
    return cFound;
}

std::string LauncherCopy()
{
    return vmtest::TestDir() + "\\vormidmgr.exe";
}

// ---- the scenarios, run in the child ---------------------------------------

void OfferControlledLaunchTwice(const vmtest::CRequestMix& a_mix)
{
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    a_mix.Offer(vmtest::c_requestControlledLaunch);
}

// A start is recorded once the launcher says it took place: the mix's drawer
// and its plug-in become a real program and a real plug-in.
void StartThroughTheLauncher(const vmtest::CRequestMix& a_mix)
{
    std::string strDocument = a_mix.File(vmtest::c_requestControlledLaunch);
    std::string strDrawer = strDocument.substr(0, strDocument.rfind('\\')) + "\\drawer.exe";
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\vormidmgr.exe").c_str(), LauncherCopy().c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\..\\tests\\vmprobe.exe").c_str(), strDrawer.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\vmplugin.dll").c_str(),
                          (vmtest::TestDir() + "\\vmmixplug.dll").c_str(), FALSE));
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    // The launcher must have ended before its file goes again.
    vmtest::WaitUntil([] { return vmtest::CountProcesses("vormidmgr.exe") == 0; }, c_dwChildTimeoutMs);
    DeleteFileA(LauncherCopy().c_str());
}

void BreakAndMendThePolicy(const vmtest::CRequestMix& a_mix)
{
    std::string strGood = vmtest::ReadFile(vmtest::PolicyPath());
    // A controlled application's request reads the policy file each time.
    vmtest::WriteFile(vmtest::PolicyPath(), "not a policy file");
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    vmtest::WriteFile(vmtest::PolicyPath(), strGood);
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    a_mix.Offer(vmtest::c_requestControlledLaunch);
}

void LetWordMarkItsAddinFailed(const vmtest::CRequestMix& a_mix)
{
    a_mix.Offer(vmtest::c_requestUncontrolled);
    vmtest::SetDword(HKEY_CURRENT_USER, vm::OfficeAddinKey(vm::c_officeAddins[0]), "LoadBehavior", 2);
    a_mix.Offer(vmtest::c_requestUncontrolled);
    vmtest::WaitUntil([] { return vmtest::CountProcesses("regsvr32.exe") == 0; }, c_dwChildTimeoutMs);
}

void OfferHandedBackRequests(const vmtest::CRequestMix& a_mix)
{
    a_mix.Offer(vmtest::c_requestUncontrolled);
    a_mix.Offer(vmtest::c_requestUnknownExtension);
}

// A request text holding a line break and the start of a forged event.
void ReportForgedLine(const vmtest::CRequestMix&)
{
    vm::ReportStartRefused("C:\\dl\\photo.jpg\r\nControlled start. User: administrator\x07",
                           "C:\\dl\\viewer.exe", "image viewer not found", 2);
}

// 65 distinct request texts within a minute, then one more once the minute
// is over, which brings the count of those held back.
void FloodWithDistinctTexts(const vmtest::CRequestMix&)
{
    for (int i = 0; i < 65; ++i)
        vm::ReportStartRefused("C:\\flood\\" + std::to_string(i) + ".jpg", "C:\\flood\\viewer.exe",
                               "image viewer not found", 2);
    Sleep(61 * 1000);
    vm::ReportStartRefused("C:\\flood\\last.jpg", "C:\\flood\\viewer.exe", "image viewer not found", 2);
}

struct Scenario {
    const char* m_szName;
    void (*m_pfnRun)(const vmtest::CRequestMix&);
};

const Scenario c_scenarios[] = {
    {"refusal", OfferControlledLaunchTwice},  {"start", StartThroughTheLauncher},
    {"policy", BreakAndMendThePolicy},        {"addin", LetWordMarkItsAddinFailed},
    {"handed-back", OfferHandedBackRequests}, {"forged", ReportForgedLine},
    {"flood", FloodWithDistinctTexts},
};

// Not a test of its own: the body of the child that the rows below start.
TEST(AuditChild, RunsTheScenarioItIsGiven)
{
    const char* szScenario = std::getenv(c_szScenarioVariable);
    if (!szScenario)
        GTEST_SKIP() << "run by the audit rows as their child";
    vmtest::CRequestMix mix("auditmix");
    ASSERT_TRUE(mix.Ready());
    for (const Scenario& scenario : c_scenarios)
        if (std::strcmp(scenario.m_szName, szScenario) == 0)
            scenario.m_pfnRun(mix);
}

// ---- the rows ----------------------------------------------------------------

struct EventRow {
    const char* m_szScenario; // null: the launcher is the child
    unsigned m_uType;
    unsigned m_uId;
    size_t m_cExpected;
    const char* m_szNamed; // a text some insert holds; null for any
};

const EventRow c_eventRows[] = {
    // A controlled start through the launcher: information, naming the document.
    {"start", EVENTLOG_INFORMATION_TYPE, 100, 1, "draw.vmclx"},
    // The hook's failed start (no launcher beside it), the same request twice
    // within a minute: one warning, naming the document.
    {"refusal", EVENTLOG_WARNING_TYPE, 200, 1, "draw.vmclx"},
    // The launcher run by hand without its "/D:" argument: its own warning.
    {nullptr, EVENTLOG_WARNING_TYPE, 201, 1, "C:\\audit\\nothing.exe"},
    // The policy file broken for two requests: one error...
    {"policy", EVENTLOG_ERROR_TYPE, 300, 1, "company.ccf"},
    // ...and mended for two more: one information that it is back.
    {"policy", EVENTLOG_INFORMATION_TYPE, 301, 1, "company.ccf"},
    // Word marked its add-in failed: the upkeep registers it again.
    {"addin", EVENTLOG_INFORMATION_TYPE, 400, 1, "Quorix01.Word9AddIn"},
    // Requests handed back to the shell leave nothing.
    {"handed-back", 0, 0, 0, nullptr},
    // A line break in a request text is written as "\r\n", a bell as "\x07":
    // the forged start stays inside the refusal's text.
    {"forged", EVENTLOG_WARNING_TYPE, 200, 1, "photo.jpg\\r\\nControlled start. User: administrator\\x07"},
    // 65 refusals of distinct texts within a minute: 20 are written, and the
    // 45 held back are told in one event after the minute.
    {"flood", EVENTLOG_WARNING_TYPE, 900, 1, "45"},
};

class AuditEventTest : public ::testing::TestWithParam<EventRow> {};

TEST_P(AuditEventTest, WritesTheEventOnceWithItsTexts)
{
    const EventRow& row = GetParam();
    SCOPED_TRACE(std::string("scenario ") + (row.m_szScenario ? row.m_szScenario : "launcher"));
    std::vector<LoggedEvent> events;
    if (row.m_szScenario)
        events = EventsOfChild(vmtest::TestDir() + "\\audit_test.exe",
                               {"--gtest_filter=AuditChild.RunsTheScenarioItIsGiven"}, row.m_szScenario);
    else
        events = EventsOfChild(vmtest::BinDir() + "\\vormidmgr.exe", {"C:\\audit\\nothing.exe"}, "launcher");
    if (row.m_cExpected == 0) {
        EXPECT_TRUE(events.empty()) << Dump(events);
        return;
    }
    EXPECT_EQ(CountEvents(events, row.m_uType, row.m_uId, row.m_szNamed), row.m_cExpected) << Dump(events);
    EXPECT_EQ(CountEvents(events, row.m_uType, row.m_uId, nullptr), row.m_cExpected) << Dump(events);
}

INSTANTIATE_TEST_SUITE_P(Rows, AuditEventTest, ::testing::ValuesIn(c_eventRows));

// ---- the message file ------------------------------------------------------------

struct MessageRow {
    DWORD m_dwId;
    const char* m_szText; // with the inserts "i1" to "i5"
};

const MessageRow c_messageRows[] = {
    {100, "Controlled start. User: i1. Document: i2. Application: i3. Plug-in: i4. Route: i5.\r\n"},
    {200, "Start refused or failed by the shell-execute hook. User: i1. Document or request: i2. Program: i3. "
          "Reason: i4. hInstApp: i5.\r\n"},
    {201, "Start refused or failed by the launcher. User: i1. Request: i2. Program: i3. Reason: i4. "
          "Exit code: i5.\r\n"},
    {300, "The company policy file cannot be used. File: i1. Reason: i2.\r\n"},
    {301, "The company policy file can be used again. File: i1.\r\n"},
    {400, "The Office add-in upkeep repaired a registration. User: i1. Add-in: i2. Module: i3.\r\n"},
    {900, "Events held back: more than i3 with id i1 came within a minute. Not written: i2.\r\n"},
};

class AuditMessageTest : public ::testing::TestWithParam<MessageRow> {};

TEST_P(AuditMessageTest, TheHookModuleHoldsTheMessageOfEveryId)
{
    const MessageRow& row = GetParam();
    std::string strModule = vmtest::BinDir() + "\\vormidmgr.dll";
    SCOPED_TRACE("FormatMessageA(" + strModule + ", " + std::to_string(row.m_dwId) + ")");
    HMODULE hModule = LoadLibraryExA(strModule.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, nullptr);
    const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>("i1"), reinterpret_cast<DWORD_PTR>("i2"),
                                 reinterpret_cast<DWORD_PTR>("i3"), reinterpret_cast<DWORD_PTR>("i4"),
                                 reinterpret_cast<DWORD_PTR>("i5")};
    char szText[512];
    std::memset(szText, 0x5A, sizeof(szText));
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, hModule, row.m_dwId,
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), szText, sizeof(szText),
                               reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
    FreeLibrary(hModule);
    ASSERT_NE(cch, 0u) << "error " << GetLastError();
    EXPECT_EQ(std::string(szText, cch), row.m_szText);
}

INSTANTIATE_TEST_SUITE_P(Rows, AuditMessageTest, ::testing::ValuesIn(c_messageRows));

} // namespace
