// The audit trail. Each event kind is made by the product's own path in a
// child process (this program run again with one scenario, or the launcher),
// and read back from Wine's event log stub, which prints every event on the
// "eventlog" debug channel: a "ReportEventW (handle,type,category,id,...)"
// line, then one line per insert. The message file is read with
// FormatMessage for every id.
//
// The children run from copies in a short folder of the prefix: the stub
// prints an insert only up to about 300 characters, and an insert that holds
// a command line names the module's own folder several times. The tests must
// hold wherever the checkout lies, however long its path.

#include "common/AuditTrail.h"
#include "common/AuditTrailLimit.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "AuditMessages.h"
#include "common/OfficeAddins.h"
#include "tests/soak/RequestMix.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char c_szScenarioVariable[] = "VM_AUDIT_SCENARIO";
constexpr DWORD c_dwChildTimeoutMs = 120000;
constexpr char c_szShortHome[] = "C:\\vmaudit";
constexpr char c_szShortLauncherHome[] = "C:\\vmaudit\\launcher";

struct LoggedEvent {
    unsigned m_uType;
    unsigned m_uId;
    std::vector<std::wstring> m_inserts;
};

// "L\"text\"" as Wine prints a wide text: a backslash doubled, a quote
// escaped, a character outside printable ASCII as a backslash and four hex
// digits ("\03ad").
std::wstring Unescape(const std::string& a_strPrinted)
{
    std::wstring strText;
    for (size_t i = 0; i < a_strPrinted.size(); ++i) {
        char ch = a_strPrinted[i];
        if (ch == '\\' && i + 4 < a_strPrinted.size() && std::isxdigit(static_cast<unsigned char>(a_strPrinted[i + 1]))) {
            strText += static_cast<wchar_t>(std::stoul(a_strPrinted.substr(i + 1, 4), nullptr, 16));
            i += 4;
            continue;
        }
        if (ch == '\\' && i + 1 < a_strPrinted.size()) {
            ch = a_strPrinted[++i];
            ch = ch == 'n' ? '\n' : ch == 'r' ? '\r' : ch == 't' ? '\t' : ch;
        }
        strText += static_cast<wchar_t>(static_cast<unsigned char>(ch));
    }
    return strText;
}

// The events printed in a_strLog: the stub's "fixme:advapi:ReportEventW (" line
// gives type and id, the "...:eventlog:ReportEventW L\"...\"" lines after it
// the inserts. An insert the channel cut (its line ends in "...) is kept,
// marked, so that a failure shows why its text is missing.
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
        } else if (iInsert != std::string::npos && !events.empty()) {
            size_t iText = iInsert + std::strlen(":eventlog:ReportEventW L\"");
            bool bWhole = strLine.back() == '"';
            std::wstring strText = Unescape(strLine.substr(iText, strLine.size() - iText - (bWhole ? 1 : 0)));
            events.back().m_inserts.push_back(bWhole ? strText : L"(cut by the debug channel) " + strText);
        }
    }
    return events;
}

// Copies a_strFile into a_strDir, made when missing; the copy's path.
std::string CopyInto(const std::string& a_strDir, const std::string& a_strFile)
{
    CreateDirectoryA(a_strDir.c_str(), nullptr);
    std::string strCopy = a_strDir + a_strFile.substr(a_strFile.rfind('\\'));
    EXPECT_TRUE(CopyFileA(a_strFile.c_str(), strCopy.c_str(), FALSE)) << strCopy << ": " << GetLastError();
    return strCopy;
}

// This program and the launcher, each with the cipher library beside it, in
// the short folders; the launcher apart, since a scenario's hook must find no
// launcher beside itself.
void MakeShortHome()
{
    char szSelf[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    CopyInto(c_szShortHome, szSelf);
    CopyInto(c_szShortHome, vmtest::TestDir() + "\\cipher.dll");
    CopyInto(c_szShortLauncherHome, vmtest::BinDir() + "\\vormidmgr.exe");
    CopyInto(c_szShortLauncherHome, vmtest::TestDir() + "\\cipher.dll");
}

// Runs a_strExe with the event log channel on and answers the events it (and
// any process it started before ending) printed. The child must end with 0.
std::vector<LoggedEvent> EventsOfChild(const std::string& a_strExe, const std::vector<std::string>& a_args,
                                       const char* a_szScenario, DWORD a_dwExpectedExit = 0,
                                       const std::wstring& a_strWideTail = std::wstring())
{
    std::string strLogPath = vmtest::WindowsPathFromEnv("VM_STDERR_FILE");
    size_t cbBefore = vmtest::ReadFile(strLogPath).size();
    SetEnvironmentVariableA("WINEDEBUG", "fixme+advapi,warn+eventlog,trace+eventlog,err+eventlog");
    SetEnvironmentVariableA(c_szScenarioVariable, a_szScenario);
    vmtest::CToolChild child;
    bool bStarted = child.Start(a_strExe, a_args, a_strWideTail);
    DWORD dwError = GetLastError();
    SetEnvironmentVariableA(c_szScenarioVariable, nullptr);
    SetEnvironmentVariableA("WINEDEBUG", "-all");
    EXPECT_TRUE(bStarted) << child.CommandLine() << ": error " << dwError;
    EXPECT_TRUE(bStarted && child.Wait(c_dwChildTimeoutMs)) << child.CommandLine() << " did not end";
    EXPECT_EQ(child.ExitCode(), a_dwExpectedExit) << child.CommandLine() << "\n" << child.Out();
    std::string strLog = vmtest::ReadFile(strLogPath);
    return ParseEvents(strLog.size() > cbBefore ? strLog.substr(cbBefore) : std::string());
}

std::wstring Dump(const std::vector<LoggedEvent>& a_events)
{
    std::wstring strDump;
    for (const LoggedEvent& event : a_events) {
        strDump += L"  | type " + std::to_wstring(event.m_uType) + L" id " + std::to_wstring(event.m_uId);
        for (const std::wstring& strInsert : event.m_inserts)
            strDump += L" [" + strInsert + L"]";
        strDump += L"\n";
    }
    return strDump;
}

// True when the inserts are a_szInserts: texts split at "|", "*" for any text.
bool HasInserts(const LoggedEvent& a_event, const wchar_t* a_szInserts)
{
    std::vector<std::wstring> expected(1);
    for (const wchar_t* pch = a_szInserts; *pch; ++pch) {
        if (*pch == L'|')
            expected.emplace_back();
        else
            expected.back() += *pch;
    }
    if (expected.size() != a_event.m_inserts.size())
        return false;
    for (size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != L"*" && expected[i] != a_event.m_inserts[i])
            return false;
    return true;
}

size_t CountEvents(const std::vector<LoggedEvent>& a_events, unsigned a_uType, unsigned a_uId,
                   const wchar_t* a_szInserts)
{
    size_t cFound = 0;
    for (const LoggedEvent& event : a_events)
        cFound += event.m_uType == a_uType && event.m_uId == a_uId && (!a_szInserts || HasInserts(event, a_szInserts));
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

// The mix's drawer and its plug-in made a real program and a real plug-in,
// and the probe in the launcher's place, answering as one that started it:
// the real launcher serves only from an installed product's folder, and its
// own decisions are the companions' tests'.
void PlaceLauncherAndApplication(const vmtest::CRequestMix& a_mix)
{
    std::string strDocument = a_mix.File(vmtest::c_requestControlledLaunch);
    std::string strDrawer = strDocument.substr(0, strDocument.rfind('\\')) + "\\drawer.exe";
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\..\\tests\\vmprobe.exe").c_str(), LauncherCopy().c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\..\\tests\\vmprobe.exe").c_str(), strDrawer.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\vmplugin.dll").c_str(),
                          (vmtest::TestDir() + "\\vmmixplug.dll").c_str(), FALSE));
}

// A start is recorded once the launcher says it took place.
void StartThroughTheLauncher(const vmtest::CRequestMix& a_mix)
{
    PlaceLauncherAndApplication(a_mix);
    if (::testing::Test::HasFatalFailure())
        return;
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    // The launcher must have ended before its file goes again.
    vmtest::WaitUntil([] { return vmtest::CountProcesses("vormidmgr.exe") == 0; }, c_dwChildTimeoutMs);
    DeleteFileA(LauncherCopy().c_str());
}

// The policy held open by another program without sharing while the host
// has its last good policy: the controlled request is still started, and
// handed the policy the hook decided by (the launcher's use of it is the
// companions' tests').
void StartWhileThePolicyIsHeld(const vmtest::CRequestMix& a_mix)
{
    PlaceLauncherAndApplication(a_mix);
    if (::testing::Test::HasFatalFailure())
        return;
    // The first request reads the good policy.
    EXPECT_EQ(a_mix.Offer(vmtest::c_requestUncontrolled).m_hr, S_FALSE);
    {
        vm::UniqueFileHandle held(
            CreateFileA(vmtest::PolicyPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held) << GetLastError();
        EXPECT_EQ(a_mix.Offer(vmtest::c_requestControlledLaunch), (vmtest::HookAnswer{S_OK, 44}));
        vmtest::WaitUntil([] { return vmtest::CountProcesses("vormidmgr.exe") == 0; }, c_dwChildTimeoutMs);
    }
    vmtest::TerminateProcesses("drawer.exe");
    DeleteFileA(LauncherCopy().c_str());
}

// A launcher that dies writes nothing of its own: the hook says so.
void LetTheLauncherCrash(const vmtest::CRequestMix& a_mix)
{
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\..\\tests\\vmprobe.exe").c_str(), LauncherCopy().c_str(), FALSE));
    SetEnvironmentVariableA("VM_PROBE_EXIT", "crash");
    a_mix.Offer(vmtest::c_requestControlledLaunch);
    SetEnvironmentVariableA("VM_PROBE_EXIT", nullptr);
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
    for (int nClass : {vmtest::c_requestUncontrolled, vmtest::c_requestUnknownExtension})
        EXPECT_EQ(a_mix.Offer(nClass).m_hr, S_FALSE) << vmtest::RequestClassName(nClass);
}

// A request text holding a line break and the start of a forged event.
void ReportForgedLine(const vmtest::CRequestMix&)
{
    const std::wstring strForged = L"C:\\dl\\photo.jpg\r\nControlled start. User: administrator\x07";
    vm::ReportStartRefused({strForged, L"C:\\dl\\viewer.exe", L"", L"image viewer not found", 2, strForged});
}

// 65 refusals of distinct texts within a minute, then the attack: a refusal
// of another rule. The process ends within the minute, which brings the
// count of those held back.
void FloodWithDistinctTexts(const vmtest::CRequestMix&)
{
    for (int i = 0; i < 65; ++i)
        vm::ReportStartRefused({L"C:\\flood\\" + std::to_wstring(i) + L".jpg", L"C:\\flood\\viewer.exe", L"",
                                L"image viewer not found", 2, L""});
    vm::ReportStartRefused({L"C:\\flood\\attack.vmclx", L"C:\\flood\\drawer.exe", L"", L"launcher start failed", 2, L""});
}

// A controlled document whose name the ANSI code page cannot hold, offered
// through the wide interface as the shell offers it.
void OfferAGreekDocument(const vmtest::CRequestMix& a_mix)
{
    std::wstring strDocument = vm::WideFromAnsi(a_mix.Dir()) + L"\\\u03ad\u03b3\u03b3\u03c1\u03b1\u03c6\u03bf2.vmclx";
    vm::UniqueFileHandle file(CreateFileW(strDocument.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << GetLastError();
    file.reset();
    a_mix.OfferWide(vmtest::c_requestControlledLaunch, strDocument);
}

// The plug-in the policy names for the mix's drawer is missing: the
// controlled document is handed back unprotected, twice, and the hook says so.
void LoseThePlugin(const vmtest::CRequestMix& a_mix)
{
    const std::string strPlugin = vmtest::TestDir() + "\\vmmixplug.dll";
    const std::string strAway = strPlugin + ".away";
    ASSERT_TRUE(MoveFileExA(strPlugin.c_str(), strAway.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
    EXPECT_EQ(a_mix.Offer(vmtest::c_requestControlledLaunch).m_hr, S_FALSE);
    EXPECT_EQ(a_mix.Offer(vmtest::c_requestControlledLaunch).m_hr, S_FALSE);
    MoveFileExA(strAway.c_str(), strPlugin.c_str(), MOVEFILE_REPLACE_EXISTING);
}

struct Scenario {
    const char* m_szName;
    void (*m_pfnRun)(const vmtest::CRequestMix&);
};

const Scenario c_scenarios[] = {
    {"refusal", OfferControlledLaunchTwice},  {"start", StartThroughTheLauncher},
    {"policy", BreakAndMendThePolicy},        {"addin", LetWordMarkItsAddinFailed},
    {"handed-back", OfferHandedBackRequests}, {"forged", ReportForgedLine},
    {"flood", FloodWithDistinctTexts},        {"crash", LetTheLauncherCrash},
    {"greek", OfferAGreekDocument},           {"unprotected", LoseThePlugin},
    {"held", StartWhileThePolicyIsHeld},
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
            return scenario.m_pfnRun(mix);
    FAIL() << "no scenario " << szScenario;
}

// ---- the rows ----------------------------------------------------------------

struct EventRow {
    const char* m_szScenario;         // null: the launcher is the child
    const wchar_t* m_szLauncherLine; // the launcher's arguments
    DWORD m_dwExit;                  // the child's exit code
    unsigned m_uType;
    unsigned m_uId;
    size_t m_cExpected;
    // The inserts: texts split at "|", "*" for any text (the user's name).
    const wchar_t* m_szInserts;
    size_t m_cOfId = 0; // events of the id in all; 0: m_cExpected
};

// The mix's files as the children in the short folder have them.
#define MIX_DOCUMENT L"C:\\vmaudit\\scratch-auditmix\\draw.vmclx"
#define MIX_PROGRAM L"C:\\vmaudit\\scratch-auditmix\\drawer.exe"
#define MIX_PLUGIN L"C:\\vmaudit\\vmmixplug.dll"
#define GREEK_NAME L"\u03ad\u03b3\u03b3\u03c1\u03b1\u03c6\u03bf2"

const EventRow c_eventRows[] = {
    // A controlled start through the launcher: information, naming the document.
    {"start", nullptr, 0, EVENTLOG_INFORMATION_TYPE, 100, 1, L"*|" MIX_DOCUMENT L"|" MIX_PROGRAM L"|" MIX_PLUGIN L"|launcher"},
    // The policy file held open by another program: the host keeps its last
    // good policy and says so, and the controlled start takes place (the
    // launcher's own decision by the policy handed over, and its event, are
    // the companions' tests': the real launcher serves only installed).
    {"held", nullptr, 0, EVENTLOG_INFORMATION_TYPE, 100, 1, L"*|" MIX_DOCUMENT L"|" MIX_PROGRAM L"|" MIX_PLUGIN L"|launcher"},
    {"held", nullptr, 0, EVENTLOG_ERROR_TYPE, 300, 1,
     L"C:\\vmaudit\\company.ccf|held open by another program; the last good policy stays in force"},
    // The hook's failed start (no launcher beside it), the same request twice
    // within a minute: one warning, naming the document, the program, the
    // plug-in and what failed.
    {"refusal", nullptr, 0, EVENTLOG_WARNING_TYPE, 200, 1,
     L"*|" MIX_DOCUMENT L"|" MIX_PROGRAM L"|" MIX_PLUGIN L"|launcher start failed|2|(none)"},
    // A launcher that crashed: the hook's warning, naming the exit code.
    {"crash", nullptr, 0, EVENTLOG_WARNING_TYPE, 200, 1,
     L"*|" MIX_DOCUMENT L"|" MIX_PROGRAM L"|" MIX_PLUGIN L"|launcher ended abnormally (exit code 0xC0000005)|5|(none)"},
    // A document named beyond the ANSI code page reaches the event intact.
    {"greek", nullptr, 0, EVENTLOG_WARNING_TYPE, 200, 1,
     L"*|C:\\vmaudit\\scratch-auditmix\\" GREEK_NAME L".vmclx|" MIX_PROGRAM L"|" MIX_PLUGIN L"|launcher start failed|2|(none)"},
    // A policy application whose plug-in is missing: handed back, twice, with
    // one warning that names what is missing.
    {"unprotected", nullptr, 0, EVENTLOG_WARNING_TYPE, 202, 1,
     L"*|" MIX_DOCUMENT L"|" MIX_PROGRAM L"|" MIX_PLUGIN
     L"|the plug-in " MIX_PLUGIN L" that the policy names for drawer.exe is missing"},
    // The launcher run by hand without its "/D:" argument: its own warning,
    // with the line at fault.
    {nullptr, L"C:\\audit\\nothing.exe", 1, EVENTLOG_WARNING_TYPE, 201, 1,
     L"*|(none)|(none)|(none)|no /D: argument|1|C:\\audit\\nothing.exe"},
    // The launcher's refusal (no installed product's) names the document, a
    // Greek name intact, apart from the program; the rule depends on what the
    // prefix registers.
    {nullptr, L"C:\\vmaudit\\audit_test.exe \"C:\\docs\\" GREEK_NAME L".vmd\"/D:C:\\vmaudit\\launcher\\cipher.dll", 8,
     EVENTLOG_WARNING_TYPE, 201, 1,
     L"*|C:\\docs\\" GREEK_NAME L".vmd|C:\\vmaudit\\audit_test.exe|C:\\vmaudit\\launcher\\cipher.dll|*|8|(none)"},
    // The policy file broken for two requests: one error...
    {"policy", nullptr, 0, EVENTLOG_ERROR_TYPE, 300, 1,
     L"C:\\vmaudit\\company.ccf|wrong first line (expected \"LUMIDEX-CCF 1\")"},
    // ...and mended for two more: one information that it is back.
    {"policy", nullptr, 0, EVENTLOG_INFORMATION_TYPE, 301, 1, L"C:\\vmaudit\\company.ccf"},
    // Word marked its add-in failed: the upkeep registers it again.
    {"addin", nullptr, 0, EVENTLOG_INFORMATION_TYPE, 400, 1, L"*|Quorix01.Word9AddIn|*"},
    // Requests handed back to the shell leave nothing.
    {"handed-back", nullptr, 0, 0, 0, 0, nullptr},
    // A line break in a request text is written as "\r\n", a bell as "\x07":
    // the forged start stays inside the refusal's text.
    {"forged", nullptr, 0, EVENTLOG_WARNING_TYPE, 200, 1,
     L"*|C:\\dl\\photo.jpg\\r\\nControlled start. User: administrator\\x07|C:\\dl\\viewer.exe|(none)|"
     L"image viewer not found|2|C:\\dl\\photo.jpg\\r\\nControlled start. User: administrator\\x07"},
    // 65 refusals of distinct texts within a minute: 20 are written, the
    // limit is told when it is first hit, and the 45 held back when the
    // process ends within the minute...
    {"flood", nullptr, 0, EVENTLOG_WARNING_TYPE, 901, 1, L"200|20"},
    {"flood", nullptr, 0, EVENTLOG_WARNING_TYPE, 900, 1, L"200|45|20"},
    // ...and the refusal of another rule that follows them is written.
    {"flood", nullptr, 0, EVENTLOG_WARNING_TYPE, 200, 1,
     L"*|C:\\flood\\attack.vmclx|C:\\flood\\drawer.exe|(none)|launcher start failed|2|(none)", 21},
};

class AuditEventTest : public ::testing::TestWithParam<EventRow> {};

TEST_P(AuditEventTest, WritesTheEventOnceWithItsTexts)
{
    const EventRow& row = GetParam();
    SCOPED_TRACE(std::string("scenario ") + (row.m_szScenario ? row.m_szScenario : "launcher ") +
                 (row.m_szLauncherLine ? vm::AnsiRendering(row.m_szLauncherLine) : ""));
    MakeShortHome();
    std::vector<LoggedEvent> events;
    if (row.m_szScenario)
        events = EventsOfChild(std::string(c_szShortHome) + "\\audit_test.exe",
                               {"--gtest_filter=AuditChild.RunsTheScenarioItIsGiven"}, row.m_szScenario);
    else
        events = EventsOfChild(std::string(c_szShortLauncherHome) + "\\vormidmgr.exe", {}, "launcher", row.m_dwExit,
                               row.m_szLauncherLine);
    std::string strDump = vm::AnsiRendering(Dump(events)) + "\n(Greek shown as '?' here only)";
    if (row.m_cExpected == 0) {
        EXPECT_TRUE(events.empty()) << strDump;
        return;
    }
    EXPECT_EQ(CountEvents(events, row.m_uType, row.m_uId, row.m_szInserts), row.m_cExpected) << strDump;
    EXPECT_EQ(CountEvents(events, row.m_uType, row.m_uId, nullptr), row.m_cOfId ? row.m_cOfId : row.m_cExpected)
        << strDump;
}

INSTANTIATE_TEST_SUITE_P(Rows, AuditEventTest, ::testing::ValuesIn(c_eventRows));

// ---- the limit, on a clock of the test's ---------------------------------------

DWORD s_dwFakeNow = 0;
DWORD WINAPI FakeClock()
{
    return s_dwFakeNow;
}

// Events offered one after another, a_dwAfterMs after the step before.
struct LimitStep {
    DWORD m_dwAfterMs;
    DWORD m_dwId;
    int m_nRule;         // the refusal's rule; -1: an event without one
    int m_cEvents;       // each with texts of its own...
    bool m_bSameTexts;   // ...or all with the texts of the step before
};

struct LimitRow {
    const char* m_szCase;
    std::vector<LimitStep> m_steps;
    // Per event: w written, L held and the limit told, h held, - a repeat
    // dropped; runs as "w20"; "[id:count]" a minute's count told before it.
    const char* m_szOutcomes;
    const char* m_szAtEnd; // the counts told when the process ends
};

const LimitRow c_limitRows[] = {
    // 20 of one rule are written; the 21st is held and tells the limit, once.
    {"one rule past the limit", {{0, 200, 0, 22, false}}, "w20 L h", "[200:2]"},
    // The first refusal of another rule is written past the limit, the
    // second of that rule is held.
    {"a new rule past the limit", {{0, 200, 0, 20, false}, {5, 200, 1, 2, false}}, "w21 L", "[200:1]"},
    // Every new rule is a kind of its own: all are written.
    {"new rules past the limit", {{0, 200, 0, 20, false}, {5, 200, 1, 1, false}, {5, 200, 2, 1, false},
                                  {5, 201, 3, 1, false}},
     "w23", ""},
    // A minute's count is told before the first event of the next minute,
    // which has its limit afresh.
    {"the minute over", {{0, 200, 0, 25, false}, {60000, 200, 0, 21, false}},
     "w20 L h4[200:5]w20 L", "[200:1]"},
    // The same texts within a minute once; after the minute again.
    {"a repeat", {{0, 201, 0, 1, false}, {1000, 201, 0, 2, true}, {60000, 201, 0, 1, true}}, "w -2 w", ""},
    // Events without a rule: one kind per id, each id its own limit.
    {"ids apart", {{0, 100, -1, 21, false}, {1, 301, -1, 1, false}}, "w20 L w", "[100:1]"},
    // The clock wrapping round inside the minute is still that minute.
    {"the clock wraps", {{0xFFFFF000u, 200, 0, 21, false}, {0x2000, 200, 0, 1, false}}, "w20 L h", "[200:2]"},
};

std::string Runs(const std::string& a_strMarks)
{
    std::string strRuns;
    for (size_t i = 0; i < a_strMarks.size();) {
        size_t j = i;
        while (j < a_strMarks.size() && a_strMarks[j] == a_strMarks[i] && a_strMarks[i] != '[')
            ++j;
        if (a_strMarks[i] == '[') {
            j = a_strMarks.find(']', i) + 1;
            strRuns += a_strMarks.substr(i, j - i);
        } else {
            strRuns += (strRuns.empty() || strRuns.back() == ']' ? "" : " ") + a_strMarks.substr(i, 1) +
                       (j - i > 1 ? std::to_string(j - i) : "");
        }
        i = j;
    }
    return strRuns;
}

std::string Counts(const vm::AuditHeldBack* a_pHeld, size_t a_cHeld)
{
    std::string strCounts;
    for (size_t i = 0; i < a_cHeld; ++i)
        strCounts += "[" + std::to_string(a_pHeld[i].m_dwId) + ":" + std::to_string(a_pHeld[i].m_cEvents) + "]";
    return strCounts;
}

TEST(AuditLimitTest, HoldsAFloodButNeverTheFirstOfAKind)
{
    for (const LimitRow& row : c_limitRows) {
        SCOPED_TRACE(row.m_szCase);
        s_dwFakeNow = 0;
        vm::CAuditLimiter limiter(FakeClock);
        std::string strMarks;
        unsigned long long ullTexts = 0;
        for (const LimitStep& step : row.m_steps) {
            s_dwFakeNow += step.m_dwAfterMs;
            for (int i = 0; i < step.m_cEvents; ++i) {
                if (!step.m_bSameTexts)
                    ++ullTexts;
                vm::AuditAdmission admission =
                    limiter.Admit(step.m_dwId, ullTexts, step.m_dwId * 1000ull + static_cast<unsigned>(step.m_nRule + 1));
                strMarks += Counts(admission.m_over, admission.m_cOver);
                strMarks += admission.m_bWrite ? 'w' : admission.m_bLimitReached ? 'L' : 'h';
                if (!admission.m_bWrite && !admission.m_bLimitReached && step.m_bSameTexts)
                    strMarks.back() = '-';
            }
        }
        vm::AuditHeldBack held[vm::c_cAuditIds];
        size_t cHeld = limiter.TakeHeldBack(held);
        EXPECT_EQ(row.m_szOutcomes, Runs(strMarks));
        EXPECT_EQ(row.m_szAtEnd, Counts(held, cHeld));
        EXPECT_EQ(0u, limiter.TakeHeldBack(held)) << "a count is told once";
    }
}

// ---- the message file ------------------------------------------------------------

// The hook module's message table, as the event viewer formats an event of
// a_dwId with the inserts "i1" to "i5"; "" when the id does not resolve.
// a_szMark: the inserts' names, "i" (i1, i2, ...) or "%" (%1, %2, ..., as the
// administrators' page shows the messages).
std::string FormatEvent(DWORD a_dwId, const char* a_szMark = "i")
{
    std::string strModule = vmtest::BinDir() + "\\vormidmgr.dll";
    HMODULE hModule = LoadLibraryExA(strModule.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(hModule, nullptr) << strModule;
    std::string names[7];
    DWORD_PTR inserts[7];
    for (int i = 0; i < 7; ++i) {
        names[i] = a_szMark + std::to_string(i + 1);
        inserts[i] = reinterpret_cast<DWORD_PTR>(names[i].c_str());
    }
    char szText[512];
    std::memset(szText, 0x5A, sizeof(szText));
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, hModule, a_dwId,
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), szText, sizeof(szText),
                               reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
    if (hModule)
        FreeLibrary(hModule);
    return std::string(szText, cch);
}

// The module carries the message table built from the message file.
TEST(AuditMessageTest, TheHookModuleHoldsTheMessageTable)
{
    EXPECT_EQ(FormatEvent(200), "Start refused or failed by the shell-execute hook. User: i1. Document: i2. "
                                "Program: i3. Plug-in: i4. Rule: i5. hInstApp: i6. Request text at fault: i7.\r\n");
}

// Every id the writers use resolves in the module, and names all its inserts.
TEST(AuditMessageTest, EveryIdTheWritersUseResolves)
{
    const std::pair<DWORD, int> ids[] = {
        {VM_EVENT_CONTROLLED_START, 5}, {VM_EVENT_START_REFUSED, 7}, {VM_EVENT_LAUNCHER_REFUSED, 7},
        {VM_EVENT_POLICY_UNUSABLE, 2},  {VM_EVENT_POLICY_USABLE, 1}, {VM_EVENT_ADDIN_REPAIRED, 3},
        {VM_EVENT_EVENTS_SUPPRESSED, 3}, {VM_EVENT_HANDED_BACK_UNPROTECTED, 5}, {VM_EVENT_EVENT_LIMIT_REACHED, 2},
    };
    for (const auto& id : ids) {
        std::string strText = FormatEvent(id.first);
        EXPECT_NE(strText, "") << "id " << id.first << ": error " << GetLastError();
        for (int i = 1; i <= id.second; ++i)
            EXPECT_NE(strText.find("i" + std::to_string(i)), std::string::npos) << id.first << ": " << strText;
        // The administrators' page shows every message as the log does.
        std::string strMessage = FormatEvent(id.first, "%");
        strMessage = strMessage.substr(0, strMessage.find_last_not_of("\r\n") + 1);
        const std::string strRow = "| " + std::to_string(id.first) + " | " + strMessage + " |";
        EXPECT_NE(vmtest::ReadFile(vmtest::SourcePath("docs\\admin.md")).find(strRow), std::string::npos)
            << "docs/admin.md lacks the row: " << strRow;
    }
}

} // namespace
