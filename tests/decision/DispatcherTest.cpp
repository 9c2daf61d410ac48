// The road of a request from the hook object to its answer, row by row of the
// decision table, with the traces a debugger sees.

#include "decision/LxShellExt.h"
#include "decision/Verdict.h"
#include "module/DocHook.h"

#include "tests/support/CompanionsSupport.h"
#include "tests/support/DebugCapture.h"
#include "tests/support/HandleCount.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/PolicyTestSupport.h"
#include "tests/soak/RequestMix.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include "common/FileIdentity.h"
#include "common/ModuleIdentity.h"
#include "companions/cipher/ccfformat.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

const HINSTANCE c_hSentinel = reinterpret_cast<HINSTANCE>(0xDEAD);
const char c_szPlugin[] = "vmtestplug.dll";
// Where the machine's own environment variables lie (the scratch registry's).
const char c_szMachineEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// One request as the shell builds it; the file text lies in a buffer of its
// own, since the hook rewrites it in place.
struct Request {
    Request(const char* a_szVerb, const std::string* a_pFile)
    {
        sei.cbSize = sizeof(sei);
        sei.lpVerb = a_szVerb;
        if (a_pFile) {
            m_file.assign(a_pFile->begin(), a_pFile->end());
            m_file.push_back('\0');
            sei.lpFile = m_file.data();
        }
        sei.nShow = SW_SHOWNORMAL;
        sei.hInstApp = c_hSentinel;
    }
    std::string File() const { return sei.lpFile ? sei.lpFile : "(null)"; }
    INT_PTR InstApp() const { return reinterpret_cast<INT_PTR>(sei.hInstApp); }

    SHELLEXECUTEINFOA sei{};
    std::vector<char> m_file;
};

// With VM_TEST_WIDE_REQUESTS set, every request goes through the wide
// interface instead, as the shell offers it: every case must then give the
// same answers and traces.
bool OffersWideRequests()
{
    return GetEnvironmentVariableA("VM_TEST_WIDE_REQUESTS", nullptr, 0) != 0;
}

std::wstring Wide(const char* a_szText)
{
    return a_szText ? vm::WideFromAnsi(a_szText) : std::wstring();
}

HRESULT OfferWide(IShellExecuteHookW* a_pHook, Request& a_request)
{
    const SHELLEXECUTEINFOA& sei = a_request.sei;
    std::wstring strVerb = Wide(sei.lpVerb), strParameters = Wide(sei.lpParameters),
                 strDirectory = Wide(sei.lpDirectory), strFile = Wide(sei.lpFile);
    SHELLEXECUTEINFOW wide{};
    wide.cbSize = sizeof(wide);
    wide.fMask = sei.fMask;
    wide.nShow = sei.nShow;
    wide.hkeyClass = sei.hkeyClass;
    wide.hInstApp = sei.hInstApp;
    wide.lpVerb = sei.lpVerb ? strVerb.c_str() : nullptr;
    wide.lpParameters = sei.lpParameters ? strParameters.c_str() : nullptr;
    wide.lpDirectory = sei.lpDirectory ? strDirectory.c_str() : nullptr;
    wide.lpFile = sei.lpFile ? strFile.c_str() : nullptr;
    wide.lpIDList = sei.lpIDList;
    HRESULT hr = a_pHook->Execute(&wide);
    a_request.sei.hInstApp = wide.hInstApp;
    if (sei.lpFile && sei.lpFile == a_request.m_file.data()) {
        std::string strBack = vm::AnsiRendering(strFile.c_str());
        a_request.m_file.assign(strBack.begin(), strBack.end());
        a_request.m_file.push_back('\0');
        a_request.sei.lpFile = a_request.m_file.data();
    }
    return hr;
}

HRESULT Offer(Request& a_request)
{
    bool bWide = OffersWideRequests();
    void* pv = nullptr;
    HRESULT hr = CDocHook::Create(nullptr, bWide ? IID_IShellExecuteHookW : IID_IShellExecuteHookA, &pv);
    if (FAILED(hr))
        return hr;
    if (bWide) {
        auto* pHook = static_cast<IShellExecuteHookW*>(pv);
        hr = OfferWide(pHook, a_request);
        pHook->Release();
        return hr;
    }
    auto* pHook = static_cast<IShellExecuteHookA*>(pv);
    hr = pHook->Execute(&a_request.sei);
    pHook->Release();
    return hr;
}

void ForgetPolicy()
{
    g_LxShellExt.m_strCompanyID.clear();
    g_LxShellExt.m_bDeleteOtherAddin = -1;
    g_LxShellExt.m_bNotLoadSSDriver = -1;
}

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_redirect = std::make_unique<vmtest::RegistryRedirect>("dispatcher");
        vmtest::MarkAddinsLoaded();
        ForgetPolicy();
        vmtest::RemovePolicy();
        m_strDir = vmtest::MakeScratchDir("dispatcher");
        m_strPlugin = vmtest::TestDir() + "\\" + c_szPlugin;
        vmtest::WriteFile(m_strPlugin, "plug-in");
        m_capture.Clear();
    }

    void TearDown() override
    {
        SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
        // A launcher that was just started may hold its file for a moment.
        for (int i = 0; i < 100 && vmtest::FileExists(Launcher()) && !DeleteFileA(Launcher().c_str()); ++i)
            Sleep(50);
        vmtest::RemovePolicy();
        DeleteFileA(m_strPlugin.c_str());
        vmtest::RemoveTree(m_strDir);
        ForgetPolicy();
        m_redirect.reset();
    }

    // The application is installed in the scratch folder, which an
    // administrator trusts.
    void RegisterApplication(const std::string& a_strAppName, const std::string& a_strPlugin = c_szPlugin)
    {
        if (!vmtest::FileExists(Path(a_strAppName)))
            vmtest::WriteFile(Path(a_strAppName), "MZ");
        vmtest::WritePolicy({{"CompanyID", "ACME"}, {a_strAppName, a_strPlugin}, {"TrustedFolders", m_strDir}});
    }

    // A document type whose open command names an application file in the
    // scratch folder.
    std::string AssociateDocuments(const std::string& a_strExt, const std::string& a_strApp)
    {
        std::string strApp = m_strDir + "\\" + a_strApp;
        vmtest::WriteFile(strApp, "MZ");
        vmtest::SetString(HKEY_CLASSES_ROOT, a_strExt, nullptr, "VmTest.Document");
        vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Document\\shell\\open\\command", nullptr,
                          "\"" + strApp + "\" \"%1\"");
        return strApp;
    }

    std::string Path(const std::string& a_strName) const { return m_strDir + "\\" + a_strName; }

    std::string Launcher() const { return vmtest::TestDir() + "\\vormidmgr.exe"; }

    // A program that records how it was started stands in for the launcher
    // (and for applications); it records only while VM_PROBE_RECORD names a
    // file, which the returned path is.
    std::string InstallProbe(const std::string& a_strAs, const std::string& a_strFrom = "vmprobe.exe")
    {
        EXPECT_TRUE(CopyFileA((vmtest::TestDir() + "\\" + a_strFrom).c_str(), a_strAs.c_str(), FALSE))
            << a_strAs;
        std::string strRecord = Path("record.txt");
        SetEnvironmentVariableA("VM_PROBE_RECORD", strRecord.c_str());
        return strRecord;
    }
    std::string InstallLauncher() { return InstallProbe(Launcher()); }

    // What the started probe recorded, or "" when nothing started in time.
    static std::string WaitForRecord(const std::string& a_strRecord, DWORD a_dwMs = 10000)
    {
        return vmtest::TakeProbeRecord(a_strRecord, a_dwMs);
    }

    ::testing::AssertionResult TracedInOrder(const std::vector<std::string>& a_texts) const
    {
        size_t iFrom = 0;
        for (const std::string& strText : a_texts) {
            int i = m_capture.IndexOf(strText, iFrom);
            if (i < 0)
                return ::testing::AssertionFailure()
                       << "missing (in order): " << strText << "\ntrace:\n" << m_capture.Dump();
            iFrom = static_cast<size_t>(i) + 1;
        }
        return ::testing::AssertionSuccess();
    }

    // Some captured text holds a_strPart.
    ::testing::AssertionResult TracedPart(const std::string& a_strPart) const
    {
        for (const std::string& strText : m_capture.Texts())
            if (strText.find(a_strPart) != std::string::npos)
                return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no text holds: " << a_strPart << "\ntrace:\n" << m_capture.Dump();
    }

    std::unique_ptr<vmtest::RegistryRedirect> m_redirect;
    vmtest::DebugCapture m_capture;
    std::string m_strDir;
    std::string m_strPlugin;
};

// No file.
TEST_F(DispatcherTest, RequestWithoutFileIsHandedBack)
{
    Request request("open", nullptr);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(request.InstApp(), 0xDEAD);
    EXPECT_TRUE(TracedInOrder({"~~~~~~CDocHook::Execute Start((null)), lpClass((null)},hKeyClass(0), "
                               "param((null)), cur dir = (null), verb = open\n",
                               "[CLxShellExt::Execute] a_lpsei->lpFile is NULL",
                               "~~~~~~CDocHook::Execute End (return=S_FALSE)\n"}));
}

TEST_F(DispatcherTest, HomePageWithoutFileIsAnsweredByTheHookAlone)
{
    Request request("OPENHOMEPAGE", nullptr);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(request.InstApp(), 0xDEAD);
    std::vector<std::string> texts = m_capture.Texts();
    ASSERT_EQ(texts.size(), 1u) << m_capture.Dump();
    EXPECT_EQ(texts[0], "~~~~~~CDocHook::Execute -> Start((null)), param((null)), cur dir = (null), "
                        "verb = OPENHOMEPAGE\n");
}

// The home page with a file: the policy is read and the file unquoted, nothing else.
TEST_F(DispatcherTest, HomePageWithFileIsUnquotedAndHandedBack)
{
    std::string strFile = "\"" + Path("a b.txt") + "\"";
    Request request("OpenHomePage", &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(request.File(), Path("a b.txt"));
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::GetConfigurationInfoFromCCF] ccf is invalid!!",
                               "TempFileName[" + Path("a b.txt") + "]"}));
    EXPECT_FALSE(vmtest::KeyExists(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\9.0\\Word\\Security"))
        << "no upkeep for the home page";
}

// Shell command files, whatever the verb.
TEST_F(DispatcherTest, ShellCommandFileIsHandedBack)
{
    for (const char* szVerb : {"open", "openas", "print", "runas"}) {
        SCOPED_TRACE(szVerb);
        std::string strFile = Path("Desktop.SCF");
        Request request(szVerb, &strFile);
        m_capture.Clear();
        EXPECT_EQ(Offer(request), S_FALSE);
        EXPECT_EQ(g_LxShellExt.m_uOperation, OPERATION_NONE);
        EXPECT_TRUE(TracedInOrder({"[CLxShellExt::Execute] show desktop [.SCF]"}));
    }
}

// Verbs outside the list go back after the upkeep.
TEST_F(DispatcherTest, UnknownVerbIsHandedBackAfterUpkeep)
{
    const char c_szResiliency[] = "Software\\Microsoft\\Office\\11.0\\Word\\Resiliency\\StartupItems";
    vmtest::SetDword(HKEY_CURRENT_USER, c_szResiliency, "x", 1);
    std::string strFile = Path("report.doc");
    Request request("runas", &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(g_LxShellExt.m_uOperation, OPERATION_NONE);
    EXPECT_EQ(g_LxShellExt.m_strExt, ".doc");
    EXPECT_TRUE(TracedInOrder({"~~~~~~CDocHook::Execute End (return=S_FALSE)\n"}));
    // The upkeep ran: the crash records are gone and the trust keys are made.
    EXPECT_FALSE(vmtest::KeyExists(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\11.0\\Word\\Resiliency"));
    EXPECT_TRUE(vmtest::KeyExists(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\9.0\\Word\\Security"));
}

// An unregistered application is not controlled.
TEST_F(DispatcherTest, OpenOfUnregisteredApplicationIsHandedBack)
{
    std::string strFile = Path("Tools\\app.EXE");
    Request request("Open", &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(g_LxShellExt.m_uOperation, OPERATION_APPLICATION);
    EXPECT_EQ(g_LxShellExt.m_strAppName, "app.EXE");
    EXPECT_TRUE(TracedInOrder(
        {"[CLxShellExt::Execute] case : Open",
         "[CLxShellExt::Execute] Open : application operation, AppName[app.EXE], AppPath[" + strFile + "]",
         "CLxShellExt::CheckControlInformation] IsExceptionApplication is [0]",
         "[CLxShellExt::CheckControlInformation] IsRegisteredApplication is [2]",
         "[CLxShellExt::Execute] CheckControlInformation -> uException code[1]",
         "[CLxShellExt::Execute] CheckControlInformation is SKIPPED_INJECTION"}));
}

// A registered application runs through the launcher.
TEST_F(DispatcherTest, OpenOfRegisteredApplicationIsLaunched)
{
    InstallLauncher();
    RegisterApplication("app.exe");
    std::string strFile = Path("app.exe");
    Request request("open", &strFile);
    request.sei.lpParameters = "/n";
    EXPECT_EQ(Offer(request), S_OK);
    EXPECT_EQ(request.InstApp(), c_nResultLaunched);
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::Execute] CheckControlInformation -> uException code[0]",
                               "sz[" + Launcher() + " \"" + strFile + "\" /n/D:" + m_strPlugin + "]",
                               "~~~~~~CDocHook::Execute End (return=S_OK)\n"}));
}

// The launcher is started by its full path and receives the line exactly as
// traced; a recording program stands in for it.
TEST_F(DispatcherTest, LauncherReceivesTheTracedCommandLine)
{
    std::string strRecord = InstallLauncher();
    RegisterApplication("app.exe");
    std::string strFile = Path("app.exe");
    Request request("open", &strFile);
    request.sei.lpParameters = "";
    std::string strDirectory = vmtest::TestDir();
    request.sei.lpDirectory = strDirectory.c_str();
    EXPECT_EQ(Offer(request), S_OK);
    EXPECT_EQ(request.InstApp(), c_nResultLaunched);

    std::string strLine = Launcher() + " \"" + strFile + "\" /D:" + m_strPlugin + "/D:" + strDirectory;
    EXPECT_TRUE(TracedInOrder({"sz[" + strLine + "]"}));
    std::string strRecorded = WaitForRecord(strRecord);
    EXPECT_NE(strRecorded.find("cmdline=" + strLine + "\n"), std::string::npos) << strRecorded;
}

// The launcher's line is built in 4096 bytes: a line that fills them to the
// last byte before the zero is started, one byte more is refused and answered
// as a failure.
TEST_F(DispatcherTest, LauncherLineAtTheBufferEnd)
{
    InstallLauncher();
    RegisterApplication("app.exe");
    std::string strFile = Path("app.exe");
    std::string strFixed = Launcher() + " \"" + strFile + "\" " + "/D:" + m_strPlugin;
    for (size_t cchLine : {size_t{4095}, size_t{4096}}) {
        SCOPED_TRACE(cchLine);
        std::string strParameters(cchLine - strFixed.size(), 'p');
        Request request("open", &strFile);
        request.sei.lpParameters = strParameters.c_str();
        m_capture.Clear();
        EXPECT_EQ(Offer(request), S_OK);
        std::string strLine = Launcher() + " \"" + strFile + "\" " + strParameters + "/D:" + m_strPlugin;
        ASSERT_EQ(strLine.size(), cchLine);
        bool bStarted = cchLine < 4096;
        EXPECT_EQ(request.InstApp(), bStarted ? c_nResultLaunched : SE_ERR_OOM);
        // The trace keeps what fits its own 4096 bytes.
        EXPECT_EQ(m_capture.Contains(("sz[" + strLine).substr(0, 4095)), bStarted) << m_capture.Dump();
        EXPECT_EQ(m_capture.Contains("[CLxShellExt::RunLauncher] command line too long (4096 bytes), not started"),
                  !bStarted)
            << m_capture.Dump();
    }
}

// A program named through a machine variable is found by its expanded path,
// which can make the line longer than the one the registry and the request
// wrote: a line that then no longer fits is refused, and nothing starts.
TEST_F(DispatcherTest, LauncherLinePastTheBufferOnceExpanded)
{
    std::string strRecord = InstallLauncher();
    RegisterApplication("app.exe");
    vmtest::SetString(HKEY_CLASSES_ROOT, "Applications\\app.exe\\shell\\open\\command", nullptr,
                      "%VM_TEST_APP_DIR%\\app.exe");
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_szMachineEnvironment, "VM_TEST_APP_DIR", m_strDir);
    std::string strCommand = Launcher() + " \"%VM_TEST_APP_DIR%\\app.exe\" ";
    std::string strParameters(4095 - (strCommand + "/D:" + m_strPlugin).size(), 'p');
    std::string strFile = "app.exe";
    Request request("open", &strFile);
    request.sei.lpParameters = strParameters.c_str();
    EXPECT_EQ(Offer(request), S_OK);
    EXPECT_EQ(request.InstApp(), SE_ERR_OOM);
    EXPECT_TRUE(TracedPart("[CLxShellExt::GetExtControlApplicationPath] m_strAppPath[" + Path("app.exe") + "]"));
    EXPECT_TRUE(TracedPart("[CLxShellExt::RunLauncher] command line too long ("));
    EXPECT_EQ(WaitForRecord(strRecord, 1500), "") << "the launcher ran";
}

// Open-with on an executable or a file without extension.
TEST_F(DispatcherTest, OpenWithOnExecutableDecidesWithoutPath)
{
    std::string strFile = Path("tool");
    Request request(nullptr, &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(g_LxShellExt.m_uOperation, OPERATION_APPLICATION);
    EXPECT_EQ(g_LxShellExt.m_strAppName, "tool.exe");
    EXPECT_EQ(g_LxShellExt.m_strAppPath, "");
    EXPECT_TRUE(TracedInOrder(
        {"[CLxShellExt::Execute] case : OpenAs -> lpFile is executable file or extension is null",
         "[CLxShellExt::Execute] case : OpenAs -> executable : file name[tool.exe]",
         "[CLxShellExt::Execute] CheckControlInformation is SKIPPED_INJECTION"}));
}

// A registered batch file is refused: the command interpreter would hold the
// plug-in, and nothing the batch file starts.
TEST_F(DispatcherTest, OpenWithOnRegisteredExecutableLooksUpThePathAndLaunches)
{
    InstallLauncher();
    for (const char* szName : {"app.exe", "app.cmd"}) {
        SCOPED_TRACE(szName);
        m_capture.Clear();
        RegisterApplication(szName);
        std::string strFile = Path(szName);
        Request request("", &strFile);
        std::string strDirectory = vmtest::TestDir();
        request.sei.lpDirectory = strDirectory.c_str();
        EXPECT_EQ(Offer(request), S_OK);
        EXPECT_EQ(g_LxShellExt.m_strAppPath, strFile) << "not registered anywhere: the request's file";
        std::string strLine = "sz[" + Launcher() + " " + strFile + "/D:" + m_strPlugin + "/D:" + strDirectory + "]";
        if (std::string(szName) == "app.exe") {
            EXPECT_EQ(request.InstApp(), c_nResultLaunched);
            EXPECT_TRUE(TracedInOrder({strLine}));
            continue;
        }
        EXPECT_EQ(request.InstApp(), SE_ERR_ACCESSDENIED);
        EXPECT_FALSE(TracedPart(strLine));
        EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true),
                  "refused (5): " + strFile + " is a batch file: it runs in the command interpreter cmd.exe, where "
                  "the plug-in protects nothing the batch file starts");
    }
}

// A registered program is controlled whatever form of its name the request
// or its association uses: the policy is asked about its long name, and the
// verdict says which switches of its command the launcher line leaves out.
TEST_F(DispatcherTest, RegisteredProgramIsControlledByItsLongName)
{
    InstallLauncher();
    RegisterApplication("qbittorrent.exe");
    std::string strApp = Path("qbittorrent.exe");
    char szShort[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameA(strApp.c_str(), szShort, MAX_PATH), 0u);
    std::string strShort = szShort;
    ASSERT_NE(strShort, strApp);
    vmtest::SetString(HKEY_CLASSES_ROOT, ".vmt", nullptr, "VmTest.Torrent");
    vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Torrent\\shell\\open\\command", nullptr,
                      "\"" + strShort + "\" /p \"%1\"");
    std::string strDocument = Path("file.vmt");
    vmtest::WriteFile(strDocument, "text");
    const std::string c_strControlled = "controlled: qbittorrent.exe starts through the launcher with " +
                                        std::string(c_szPlugin);
    struct Row {
        const char* m_szVerb;
        std::string m_strFile;
        std::string m_strVerdict;
    } rows[] = {
        {"open", strShort, c_strControlled},   // an application operation on its 8.3 path
        {nullptr, strShort, c_strControlled},  // open-with on it
        {"print", strDocument, c_strControlled},  // the machine's command reaches it whole, /p included
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.m_szVerb ? row.m_szVerb : "(null)") + " " + row.m_strFile);
        Request request(row.m_szVerb, &row.m_strFile);
        EXPECT_EQ(Offer(request), S_OK);
        EXPECT_EQ(request.InstApp(), c_nResultLaunched);
        EXPECT_EQ(g_LxShellExt.m_strAppName, "qbittorrent.exe");
        EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), row.m_strVerdict);
    }
}

// Documents of every verb, and open-with, without an application are handed back.
struct DocumentRow {
    const char* m_szVerb;
    UINT m_uOperation;
};

class DocumentRouteTest : public DispatcherTest, public ::testing::WithParamInterface<DocumentRow> {};

TEST_P(DocumentRouteTest, DocumentWithoutApplicationIsHandedBack)
{
    std::string strFile = Path("report.vmz");
    Request request(GetParam().m_szVerb, &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(g_LxShellExt.m_uOperation, GetParam().m_uOperation);
    EXPECT_EQ(g_LxShellExt.m_strFilePath, strFile);
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::Execute] IsExceptionApplication is SKIPPED_INJECTION"}));
}

INSTANTIATE_TEST_SUITE_P(
    Verbs, DocumentRouteTest,
    ::testing::Values(DocumentRow{"open", OPERATION_OPEN_DOCUMENT},     // open
                      DocumentRow{"print", OPERATION_OPEN_DOCUMENT},    // the other document verbs
                      DocumentRow{"EDIT", OPERATION_OPEN_DOCUMENT},     // in any case
                      DocumentRow{"new", OPERATION_OPEN_DOCUMENT},
                      DocumentRow{"read", OPERATION_OPEN_DOCUMENT},
                      DocumentRow{"openas", OPERATION_OPENAS_DOCUMENT}, // open-with
                      DocumentRow{nullptr, OPERATION_OPENAS_DOCUMENT})); // no verb

// A document whose application is registered goes to the launcher.
TEST_F(DispatcherTest, DocumentOfRegisteredApplicationIsLaunched)
{
    InstallLauncher();
    std::string strApp = AssociateDocuments(".vmd", "app.exe");
    RegisterApplication("app.exe");
    std::string strFile = Path("report.vmd");
    vmtest::WriteFile(strFile, "text");
    Request request("open", &strFile);
    EXPECT_EQ(Offer(request), S_OK);
    EXPECT_EQ(request.InstApp(), c_nResultLaunched);
    EXPECT_EQ(g_LxShellExt.m_strAppName, "app.exe");
    EXPECT_TRUE(TracedInOrder({"sz[" + Launcher() + " " + strApp + " \"" + strFile + "\"/D:" +
                               m_strPlugin + "]"}));
}

// Every verb of a controlled type is decided by that verb's own command:
// controlled when the policy gives its program a plug-in, refused when it
// does not or when the type has no command for an odd verb. Only print,
// edit, new and read fall back to the open command. A type that is not
// controlled still goes back to the shell.
TEST_F(DispatcherTest, EveryVerbOfAControlledTypeIsDecidedByItsCommand)
{
    InstallLauncher();
    SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
    std::string strViewer = AssociateDocuments(".vmd", "viewer.exe");
    std::string strEditor = Path("editor.exe"), strOther = Path("other.exe");
    vmtest::WriteFile(strEditor, "MZ");
    vmtest::WriteFile(strOther, "MZ");
    const std::string c_strShell = "VmTest.Document\\shell\\";
    vmtest::SetString(HKEY_CLASSES_ROOT, c_strShell + "edit\\command", nullptr, "\"" + strEditor + "\" \"%1\"");
    vmtest::SetString(HKEY_CLASSES_ROOT, c_strShell + "OpenAsReadOnly\\command", nullptr,
                      "\"" + strViewer + "\" /r \"%1\"");
    vmtest::SetString(HKEY_CLASSES_ROOT, c_strShell + "printto\\command", nullptr,
                      "\"" + strOther + "\" /pt \"%1\" \"%2\"");
    vmtest::SetString(HKEY_CLASSES_ROOT, c_strShell + "print\\command", nullptr, "\"" + strOther + "\" /p \"%1\"");
    // A type whose programs receive no plug-in.
    vmtest::SetString(HKEY_CLASSES_ROOT, ".vmu", nullptr, "VmTest.Plain");
    vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Plain\\shell\\open\\command", nullptr, "\"" + strOther + "\" \"%1\"");
    vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Plain\\shell\\printto\\command", nullptr, "\"" + strOther + "\" \"%1\"");
    vmtest::WritePolicy({{"CompanyID", "ACME"},
                         {"viewer.exe", c_szPlugin},
                         {"editor.exe", c_szPlugin},
                         {"TrustedFolders", m_strDir}});
    std::string strFile = Path("report.vmd"), strPlain = Path("plain.vmu"), strFolder = Path("plans.vmd");
    vmtest::WriteFile(strFile, "text");
    vmtest::WriteFile(strPlain, "text");
    ASSERT_TRUE(CreateDirectoryA(strFolder.c_str(), nullptr));
    auto controlled = [&](const char* a_szApp, const char* a_szDropped) {
        std::string strVerdict = "controlled: " + std::string(a_szApp) + " starts through the launcher with " +
                                 c_szPlugin;
        return *a_szDropped ? strVerdict + " (the registered command's " + a_szDropped + " is not passed)" : strVerdict;
    };
    const struct {
        const char* m_szVerb;
        const std::string& m_strFile;
        INT_PTR m_nInstApp; // 0xDEAD: handed back
        std::string m_strVerdict;
        std::string m_strProgram; // launched, when a launcher line is expected
    } rows[] = {
        // an odd verb whose command names the registered program, which gets the machine's command whole
        {"OpenAsReadOnly", strFile, c_nResultLaunched, controlled("viewer.exe", ""), "\"" + strViewer + "\" /r"},
        // an odd verb whose command names a program without a plug-in
        {"printto", strFile, SE_ERR_ACCESSDENIED,
         "refused (5): the printto command of .vmd starts other.exe, which receives no plug-in, and documents of "
         "the type are controlled", ""},
        // an odd verb the type has no command for
        {"properties", strFile, SE_ERR_ACCESSDENIED,
         "refused (5): the type .vmd has no properties command, and its documents are controlled", ""},
        // edit starts the editor, the registered program of that verb
        {"edit", strFile, c_nResultLaunched, controlled("editor.exe", ""), strEditor},
        // print names a program without a plug-in: refused, not opened in the viewer
        {"print", strFile, SE_ERR_ACCESSDENIED,
         "refused (5): the print command of .vmd starts other.exe, which receives no plug-in, and documents of "
         "the type are controlled", ""},
        // read has no command of its own: the open command
        {"read", strFile, c_nResultLaunched, controlled("viewer.exe", ""), strViewer},
        // a type that is not controlled goes back, whatever the verb
        {"printto", strPlain, 0xDEAD, "handed back to Windows (the hook decides only open, open-as, print, edit, new "
                                      "and read)", ""},
        // a folder is no document, whatever its name ends in
        {"explore", strFolder, 0xDEAD, "handed back to Windows (the hook decides only open, open-as, print, edit, new "
                                       "and read)", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.m_szVerb) + " " + row.m_strFile);
        Request request(row.m_szVerb, &row.m_strFile);
        m_capture.Clear();
        EXPECT_EQ(Offer(request), row.m_nInstApp == 0xDEAD ? S_FALSE : S_OK);
        EXPECT_EQ(request.InstApp(), row.m_nInstApp);
        EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), row.m_strVerdict);
        if (!row.m_strProgram.empty()) {
            EXPECT_TRUE(TracedInOrder({"sz[" + Launcher() + " " + row.m_strProgram + " \"" + row.m_strFile + "\"/D:" +
                                       m_strPlugin + "]"}));
        }
        if (row.m_nInstApp == SE_ERR_ACCESSDENIED) {
            EXPECT_TRUE(TracedPart("[CLxShellExt::RunApplication] " + row.m_strVerdict.substr(13) +
                                   ", not started (5)[" + row.m_strFile + "]"));
        }
    }
}

// A request that names its document by an item id list alone is decided as
// the same file text; an id list beside a file text must name the same
// file. An item without a file-system path and without a type is handed
// back as before.
TEST_F(DispatcherTest, ItemIdListIsDecidedAsItsFile)
{
    InstallLauncher();
    SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
    std::string strApp = AssociateDocuments(".vmd", "app.exe");
    RegisterApplication("app.exe");
    std::string strFile = Path("report.vmd"), strOtherFile = Path("other.vmd");
    vmtest::WriteFile(strFile, "text");
    vmtest::WriteFile(strOtherFile, "text");
    PIDLIST_ABSOLUTE pidlFile = ILCreateFromPathW(vm::WideFromAnsi(strFile).c_str());
    ASSERT_NE(pidlFile, nullptr);
    PIDLIST_ABSOLUTE pidlParsed = nullptr;
    ASSERT_EQ(SHParseDisplayName(vm::WideFromAnsi(strFile).c_str(), nullptr, &pidlParsed, 0, nullptr), S_OK);
    PIDLIST_ABSOLUTE pidlDrives = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &pidlDrives), S_OK);
    const std::string strLine = "sz[" + Launcher() + " " + strApp + " \"" + strFile + "\"/D:" + m_strPlugin + "]";
    const struct {
        const char* m_szCase;
        ULONG m_fMask;
        PIDLIST_ABSOLUTE m_pidl;
        const std::string* m_pFile;
        INT_PTR m_nInstApp; // 0xDEAD: handed back
        std::string m_strVerdictOrLine;
    } rows[] = {
        {"id list alone", SEE_MASK_IDLIST, pidlFile, nullptr, c_nResultLaunched, strLine},
        {"parsed id list, invoked", SEE_MASK_INVOKEIDLIST, pidlParsed, nullptr, c_nResultLaunched, strLine},
        {"id list and file text of one file", SEE_MASK_INVOKEIDLIST, pidlFile, &strFile, c_nResultLaunched, strLine},
        {"id list and file text of two files", SEE_MASK_INVOKEIDLIST, pidlFile, &strOtherFile, SE_ERR_ACCESSDENIED,
         "refused (5): the request's id list names " + strFile + ", another file than its file text"},
        {"a virtual folder", SEE_MASK_IDLIST, pidlDrives, nullptr, 0xDEAD,
         "handed back to Windows (the request names no file)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_szCase);
        Request request("open", row.m_pFile);
        request.sei.fMask = row.m_fMask;
        request.sei.lpIDList = row.m_pidl;
        m_capture.Clear();
        EXPECT_EQ(Offer(request), row.m_nInstApp == 0xDEAD ? S_FALSE : S_OK);
        EXPECT_EQ(request.InstApp(), row.m_nInstApp);
        if (row.m_nInstApp == c_nResultLaunched) {
            EXPECT_TRUE(TracedInOrder({row.m_strVerdictOrLine}));
        } else {
            EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), row.m_strVerdictOrLine);
        }
        EXPECT_EQ(request.sei.lpFile, row.m_pFile ? request.m_file.data() : nullptr) << "the request is the shell's";
    }
    ILFree(pidlFile);
    ILFree(pidlParsed);
    ILFree(pidlDrives);
}

// File texts the platform normalizes name the document whose type they
// hide: judged and launched by its full path.
TEST_F(DispatcherTest, NormalizedFileTextsAreJudgedByTheirFile)
{
    InstallLauncher();
    SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
    std::string strApp = AssociateDocuments(".vmd", "app.exe");
    RegisterApplication("app.exe");
    std::string strFile = Path("report.vmd");
    vmtest::WriteFile(strFile, "text");
    for (const char* szSuffix : {".", " ", ". .", "::$DATA", "::$data", "::$DATA."}) {
        std::string strText = strFile + szSuffix;
        SCOPED_TRACE(strText);
        Request request("open", &strText);
        m_capture.Clear();
        EXPECT_EQ(Offer(request), S_OK);
        EXPECT_EQ(request.InstApp(), c_nResultLaunched);
        EXPECT_EQ(g_LxShellExt.m_strExt, ".vmd");
        EXPECT_TRUE(TracedInOrder({"[CLxShellExt::Execute] normalized file[" + strFile + "]",
                                   "sz[" + Launcher() + " " + strApp + " \"" + strFile + "\"/D:" + m_strPlugin + "]"}));
        EXPECT_EQ(request.File(), strText) << "the request's own text stays";
    }
}

// An exception rule finishes the request without the launcher. The
// viewer's start is answered: 33 when it started, the shell's error code when
// it did not.
TEST_F(DispatcherTest, ImageViewerRuleFinishesTheRequest)
{
    vmtest::SetString(HKEY_CURRENT_USER,
                      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.vmi",
                      "Application", "shimgvw.dll");
    std::string strViewer = Path("viewer.exe");
    std::string strRecord = InstallProbe(strViewer);
    std::string strFile = Path("photo.vmi");
    const std::string c_strExceptionTraces[] = {
        "[CLxShellExt::CheckControlInformation] IsExceptionApplication is EXECUTE_EXCEPTION",
        "[CLxShellExt::RunApplication] CheckControlInformation is EXECUTE_EXCEPTION",
        "[CLxShellExt::Execute] IsExceptionApplication is EXECUTE_EXCEPTION"};

    // No viewer command: the document itself is taken for the program, and
    // it does not exist.
    Request missing("open", &strFile);
    EXPECT_EQ(Offer(missing), S_OK);
    EXPECT_EQ(missing.InstApp(), SE_ERR_FNF);
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::IsExceptionApplication] image viewer not found, not started[" +
                                   strFile + " " + strFile + "]",
                               c_strExceptionTraces[0], c_strExceptionTraces[1], c_strExceptionTraces[2]}));

    vmtest::SetString(HKEY_CLASSES_ROOT, "Applications\\shimgvw.dll\\shell\\open\\command", nullptr,
                      "\"" + strViewer + "\" \"%1\"");
    m_capture.Clear();
    Request started("open", &strFile);
    EXPECT_EQ(Offer(started), S_OK);
    EXPECT_EQ(started.InstApp(), c_nResultHandled);
    EXPECT_TRUE(TracedInOrder({c_strExceptionTraces[0], c_strExceptionTraces[1], c_strExceptionTraces[2]}));
    EXPECT_NE(WaitForRecord(strRecord).find("cmdline=" + strViewer + " " + strFile + "\n"), std::string::npos);
}

TEST_F(DispatcherTest, QuotedFileIsStoredBackWithoutQuotes)
{
    std::string strFile = "\"" + Path("my report.scf") + "\"";
    Request request("open", &strFile);
    Offer(request);
    EXPECT_EQ(request.File(), Path("my report.scf"));
    EXPECT_TRUE(TracedInOrder({"TempFileName[" + Path("my report.scf") + "]",
                               "[CLxShellExt::Execute] show desktop [.scf]"}));
}

// The caller's file text may lie in memory that cannot be written.
TEST_F(DispatcherTest, ReadOnlyFileTextIsNotWrittenButTheRequestProceedsUnquoted)
{
    std::string strQuoted = "\"" + Path("my desk.scf") + "\"";
    char* pPage = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pPage, nullptr);
    lstrcpynA(pPage, strQuoted.c_str(), 4096);
    DWORD dwOld = 0;
    VirtualProtect(pPage, 4096, PAGE_READONLY, &dwOld);

    Request request("open", nullptr);
    request.sei.lpFile = pPage;
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_EQ(request.sei.lpFile, pPage) << "the caller's pointer comes back";
    EXPECT_EQ(std::string(pPage), strQuoted);
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::Execute] show desktop [.scf]"}));
    VirtualFree(pPage, 0, MEM_RELEASE);
}

// Explorer calls from several threads: answers do not depend on what other
// threads offer at the same time.
TEST_F(DispatcherTest, ConcurrentRequestsGetTheAnswersOfOneThread)
{
    InstallLauncher();
    SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
    RegisterApplication("app.exe");
    struct Case {
        const char* m_szVerb;
        std::string m_strFile;
        HRESULT m_hr;
        INT_PTR m_nInstApp;
    };
    std::vector<Case> cases = {
        {"open", Path("app.exe"), S_OK, c_nResultLaunched},
        {"open", Path("other.exe"), S_FALSE, 0xDEAD},
        {"open", Path("desk.scf"), S_FALSE, 0xDEAD},
        {"runas", Path("app.exe"), S_FALSE, 0xDEAD},
    };
    std::vector<std::thread> threads;
    std::vector<int> failures(cases.size(), 0);
    std::vector<std::string> wrong(cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 40; ++n) {
                Request request(cases[i].m_szVerb, &cases[i].m_strFile);
                HRESULT hr = Offer(request);
                if (hr != cases[i].m_hr || request.InstApp() != cases[i].m_nInstApp) {
                    ++failures[i];
                    wrong[i] = "hr " + std::to_string(hr) + " hInstApp " + std::to_string(request.InstApp());
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(failures[i], 0) << cases[i].m_szVerb << " " << cases[i].m_strFile << ", last answered " << wrong[i];
}

// The hook lives in Explorer for days: requests of every kind leave the
// process holding what it held before.
TEST_F(DispatcherTest, RequestsLeaveTheHandleCountAsItWas)
{
    std::string strApp = AssociateDocuments(".vmd", "app.exe");
    RegisterApplication("app.exe");
    std::string strDocument = Path("report.vmd");
    vmtest::WriteFile(strDocument, "text");
    HKEY hClass = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "VmTest.Document", 0, KEY_READ, &hClass), ERROR_SUCCESS);

    auto offerAll = [&] {
        Request document("open", &strDocument);
        Offer(document);
        Request classKey("print", &strDocument);
        classKey.sei.fMask = SEE_MASK_CLASSKEY;
        classKey.sei.hkeyClass = hClass;
        Offer(classKey);
        std::string strExe = Path("app.exe");
        Request application("open", &strExe);
        Offer(application);
        std::string strOther = Path("none.vmq");
        Request unknown(nullptr, &strOther);
        Offer(unknown);
    };
    offerAll(); // first use loads what stays loaded
    DWORD dwBefore = vmtest::OpenHandleCount();
    for (int i = 0; i < 200; ++i)
        offerAll();
    EXPECT_EQ(vmtest::OpenHandleCount(), dwBefore);
    EXPECT_EQ(RegCloseKey(hClass), ERROR_SUCCESS) << "the class key stays the caller's";
}

// ---- Starts: what the hook answers for them, and what reaches them ------

const char c_szNotStarted[] = "[CLxShellExt::RunLauncher] ";

// The launcher cannot be started: the shell gets a failure, not 44.
TEST_F(DispatcherTest, FailedLauncherStartIsAnsweredAsAFailure)
{
    RegisterApplication("app.exe");
    std::string strFile = Path("app.exe");
    Request request("open", &strFile);
    EXPECT_EQ(Offer(request), S_OK);
    EXPECT_EQ(request.InstApp(), SE_ERR_FNF);
    EXPECT_TRUE(TracedInOrder({"sz[" + Launcher() + " " + strFile + "/D:" + m_strPlugin + "]",
                               std::string(c_szNotStarted) + "launcher start failed, not started (2)[" +
                                   Launcher() + " " + strFile + "/D:" + m_strPlugin + "]"}));
}

// The launcher's answer as the shell hears it: a stand-in launcher ends with
// each code the launcher uses, with one it never uses, with a crash, and once
// not at all, which is answered as started when the wait's bound has passed.
struct LauncherAnswerRow {
    const char* m_szExit; // VM_PROBE_EXIT: the code, or "crash" for an access violation
    const char* m_szHold; // VM_PROBE_HOLD: how long it stays before it ends
    int m_nInstApp;
    const char* m_szTrace; // after "[CLxShellExt::RunLauncher] launcher "
    const char* m_szVerdict;
};
const LauncherAnswerRow c_launcherAnswers[] = {
    {"0", "", 44, "answered 0: started with the plug-in, answered 44",
     "controlled: app.exe starts through the launcher with vmtestplug.dll"},
    {"1", "", 5, "answered 1: command line refused, answered 5", "refused (5): command line refused"},
    {"2", "", 2, "answered 2: application not found, answered 2", "refused (2): application not found"},
    {"3", "", 32, "answered 3: plug-in not found, answered 32", "refused (32): plug-in not found"},
    {"4", "", 5, "answered 4: application could not be started, answered 5",
     "refused (5): application could not be started"},
    {"5", "", 32, "answered 5: plug-in did not load, answered 32", "refused (32): plug-in did not load"},
    {"6", "", 3, "answered 6: working directory is not a folder, answered 3",
     "refused (3): working directory is not a folder"},
    {"7", "", 11, "answered 7: no build of the application's bitness, answered 11",
     "refused (11): no build of the application's bitness"},
    {"8", "", 5, "answered 8: program may not receive the plug-in, answered 5",
     "refused (5): program may not receive the plug-in"},
    {"9", "", 5, "answered 9: launcher ended abnormally, answered 5", "refused (5): launcher ended abnormally"},
    {"crash", "", 5, "answered 3221225477: launcher ended abnormally, answered 5",
     "refused (5): launcher ended abnormally"},
    {"0", "120000", 44, "gave no answer in 35000 ms, answered 44",
     "controlled: app.exe starts through the launcher with vmtestplug.dll"},
};

TEST_F(DispatcherTest, TheShellHearsEveryAnswerOfTheLauncher)
{
    InstallLauncher();
    RegisterApplication("app.exe");
    std::string strFile = Path("app.exe");
    for (const LauncherAnswerRow& row : c_launcherAnswers) {
        SCOPED_TRACE(std::string("launcher exit ") + row.m_szExit + ", held " + row.m_szHold);
        SetEnvironmentVariableA("VM_PROBE_EXIT", row.m_szExit);
        SetEnvironmentVariableA("VM_PROBE_HOLD", *row.m_szHold ? row.m_szHold : nullptr);
        m_capture.Clear();
        Request request("open", &strFile);
        DWORD dwStart = GetTickCount();
        EXPECT_EQ(Offer(request), S_OK);
        DWORD dwWaited = GetTickCount() - dwStart;
        EXPECT_EQ(request.InstApp(), row.m_nInstApp);
        EXPECT_TRUE(TracedPart(std::string("[CLxShellExt::RunLauncher] launcher ") + row.m_szTrace));
        EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), row.m_szVerdict);
        if (*row.m_szHold) {
            EXPECT_GE(dwWaited, 35000u) << "answered before the bound";
            EXPECT_EQ(vmtest::TerminateProcesses("vormidmgr.exe"), 1) << "the launcher ended on its own";
        }
        // Its record goes, so that the next row's launcher writes a new one.
        WaitForRecord(Path("record.txt"));
    }
    SetEnvironmentVariableA("VM_PROBE_EXIT", nullptr);
    SetEnvironmentVariableA("VM_PROBE_HOLD", nullptr);
}

// The launcher splits its line at "/D:" and takes the document between
// quotes: request text holding either is not launched.
TEST_F(DispatcherTest, RequestTextCannotReachTheLauncherArguments)
{
    std::string strRecord = InstallLauncher();
    AssociateDocuments(".vmd", "app.exe");
    RegisterApplication("app.exe");
    std::string strApp = Path("app.exe");
    std::string strQuoted = Path("x\" /evil:arg \"y.vmd");
    std::string strMarked = Path("x/D:C:\\evil\\evil.vmd");
    struct {
        const std::string& m_strFile;
        const char* m_szParameters;
        const char* m_szDirectory;
        const char* m_szRefused; // the text the refusal names
        const char* m_szCause;
    } rows[] = {
        // a plug-in of the request's choosing
        {strApp, "x/D:C:\\evil\\evil.dll", nullptr, "x/D:C:\\evil\\evil.dll", "argument mark"},
        // any letter case; an empty plug-in
        {strApp, "x/d:", nullptr, "x/d:", "argument mark"},
        {strApp, nullptr, "\\..\\/D:C:\\evil", "\\..\\/D:C:\\evil", "argument mark"},
        // the mark in the document's own text
        {strMarked, nullptr, nullptr, strMarked.c_str(), "argument mark"},
        // a quote in the document's text would add arguments
        {strQuoted, nullptr, nullptr, strQuoted.c_str(), "double quote"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("file [" + row.m_strFile + "] parameters [" +
                     (row.m_szParameters ? row.m_szParameters : "(null)") + "] directory [" +
                     (row.m_szDirectory ? row.m_szDirectory : "(null)") + "]");
        Request request("open", &row.m_strFile);
        request.sei.lpParameters = row.m_szParameters;
        request.sei.lpDirectory = row.m_szDirectory;
        m_capture.Clear();
        EXPECT_EQ(Offer(request), S_OK);
        EXPECT_EQ(request.InstApp(), SE_ERR_ACCESSDENIED);
        std::string strCause = std::string(row.m_szCause) == "argument mark"
                                   ? "request text holds the launcher's argument mark"
                                   : "file text holds a double quote";
        EXPECT_TRUE(TracedInOrder({c_szNotStarted + strCause + ", not started (5)[" + row.m_szRefused + "]"}));
    }
    EXPECT_EQ(WaitForRecord(strRecord, 1500), "") << "the launcher ran";
}

// A document renamed from a program is never run as that program: not by
// the launcher, not by the image viewer rule.
TEST_F(DispatcherTest, DocumentIsNeverStartedAsAProgram)
{
    std::string strRecord = InstallLauncher();
    const std::string c_strFileExts = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
    vmtest::SetString(HKEY_CURRENT_USER, c_strFileExts + ".vmx", "Application", "vmx.exe");
    vmtest::SetString(HKEY_CURRENT_USER, c_strFileExts + ".vmi", "Application", "shimgvw.dll");
    RegisterApplication("vmx.exe");
    // No command names either application: the document stands in for it.
    // A variable in the document's name is no variable: beside it lies the
    // program its expansion would name.
    SetEnvironmentVariableA("VMTESTDOC", "planted");
    const std::pair<const char*, const char*> names[] = {{"renamed.vmx", ""},
                                                         {"renamed photo.vmi", ""},
                                                         {"%VMTESTDOC%.vmx", "planted.vmx"},
                                                         {"%VMTESTDOC% photo.vmi", "planted photo.vmi"}};
    for (const auto& name : names) {
        SCOPED_TRACE(name.first);
        std::string strFile = Path(name.first);
        for (const std::string& strCopy : {strFile, Path(name.second)}) {
            if (strCopy == Path(""))
                continue;
            ASSERT_TRUE(CopyFileA((vmtest::TestDir() + "\\vmprobe.exe").c_str(), strCopy.c_str(), FALSE));
        }
        Request request("open", &strFile);
        m_capture.Clear();
        EXPECT_EQ(Offer(request), S_OK);
        EXPECT_EQ(request.InstApp(), SE_ERR_NOASSOC);
        EXPECT_TRUE(TracedPart("the document is the program, not started (31)["));
    }
    SetEnvironmentVariableA("VMTESTDOC", nullptr);
    EXPECT_EQ(WaitForRecord(strRecord, 1500), "") << "the document ran";
}

// A registry command may name its program through a variable of the
// machine's environment; a variable of the user's own environment names
// nothing, whatever it says (HKCU\Environment can redefine even windir).
TEST_F(DispatcherTest, MachineVariablesNameTheProgramAndTheUsersDoNot)
{
    std::string strRecord = InstallLauncher();
    AssociateDocuments(".vme", "app.exe");
    vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Document\\shell\\open\\command", nullptr,
                      "%VM_TEST_APP_DIR%\\app.exe %1");
    RegisterApplication("app.exe");
    std::string strFile = Path("report.vme");
    std::string strTail = "\\app.exe \"" + strFile + "\"/D:" + m_strPlugin;
    // Defined for the machine: the program is found and started by its path.
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_szMachineEnvironment, "VM_TEST_APP_DIR", m_strDir);
    Request machine("open", &strFile);
    EXPECT_EQ(Offer(machine), S_OK);
    EXPECT_EQ(machine.InstApp(), c_nResultLaunched);
    EXPECT_TRUE(TracedInOrder({"sz[" + Launcher() + " " + m_strDir + strTail + "]"}));
    std::string strRecorded = WaitForRecord(strRecord);
    EXPECT_NE(strRecorded.find("cmdline=" + Launcher() + " " + m_strDir + strTail + "\n"), std::string::npos)
        << strRecorded;
    // Defined for the user alone: nothing is started.
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, c_szMachineEnvironment, "VM_TEST_APP_DIR");
    SetEnvironmentVariableA("VM_TEST_APP_DIR", m_strDir.c_str());
    m_capture.Clear();
    Request user("open", &strFile);
    EXPECT_EQ(Offer(user), S_OK);
    SetEnvironmentVariableA("VM_TEST_APP_DIR", nullptr);
    EXPECT_EQ(user.InstApp(), SE_ERR_ACCESSDENIED);
    EXPECT_TRUE(TracedPart("the program lies behind a variable of the user's own, not started (5)["));
    EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true),
              "refused (5): %VM_TEST_APP_DIR%\\app.exe lies behind %VM_TEST_APP_DIR%, a variable of the user's own: "
              "such a program lies in the user's profile, which the trust rule never trusts");
    EXPECT_EQ(WaitForRecord(strRecord, 1500), "") << "the launcher ran";
}

// The hook and the real launcher on real processes: the plug-in goes only
// into the registered program where an administrator installed it, and the
// shell hears the launcher's verdict.
struct TrustRow {
    const char* szCase;
    const char* szCommand;   // {t}: a trusted folder, {u}: a user's folder, {pf}: below Program Files,
                             // {root}, {pd}, {dmp}: folders users write to though the policy or the
                             // Windows folder names them: at C:\, in ProgramData, System32\com\dmp
    const char* szDirectory; // lpDirectory; {cipher}: a file of the launcher's folder
    const char* szPlugin;    // registered for probe.exe; vmtestplug.dll is no module
    int nInstApp;
    const char* szTrace;
    bool bRuns;
    const char* szVerdict = nullptr; // the verdict in words, where a row checks it
    const char* szPublishers = nullptr; // the policy's TrustedPublishers, where a row has one
    const char* szArguments = nullptr;  // all the program receives after its own name ("|"-separated);
                                        // {doc}: the document
    bool bUserClass = false;            // the command is the user's own class's, not the machine's
};
// The listed publisher's thumbprints as Windows shows them: SHA-1 in blank-separated pairs.
const std::string c_strListedSha1 = [] {
    std::string strPairs;
    for (size_t i = 0; i < sizeof(VM_TEST_LISTED_SHA1) - 1; i += 2)
        strPairs += std::string(i ? " " : "") + std::string(VM_TEST_LISTED_SHA1).substr(i, 2);
    return strPairs;
}();
const std::string c_strPublishers = "0000000000000000000000000000000000000000;" + c_strListedSha1;
const TrustRow c_trustRows[] = {
    {"registered program in a trusted folder", "\"{t}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true},
    {"registered program below Program Files", "\"{pf}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 44,
     "launcher answered 0", true},
    {"copy in a user's folder", "\"{u}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program lies outside the trusted folders, not started (5)[", false,
     "refused (5): {u}\\probe.exe is outside the trusted folders (Windows, Program Files, TrustedFolders)"},
    {"plug-in named by a path below the product folder", "\"{t}\\probe.exe\" \"%1\"", "", "sub\\vmplugin.dll", 5,
     "the policy registers another plug-in for the program, not started (5)[", false,
     "refused (5): the policy names the plug-in of probe.exe by a path (sub\\vmplugin.dll): plug-ins must lie in "
     "the product folder"},
    {"a trusted folder left through ..", "\"{t}\\..\\users\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program lies outside the trusted folders, not started (5)[", false},
    {"a machine variable naming a user's folder", "%VM_TEST_USER_DIR%\\probe.exe \"%1\"", "", "vmplugin.dll", 5,
     "the program lies outside the trusted folders, not started (5)[", false},
    {"working directory naming a product file", "\"{t}\\probe.exe\" \"%1\"", "{cipher}", "vmplugin.dll", 3,
     "working directory is not an existing folder, not started (3)[", false},
    {"plug-in that does not load", "\"{t}\\probe.exe\" \"%1\"", "", c_szPlugin, 32,
     "launcher answered 5: plug-in did not load, answered 32", false},
    {"a new folder at a trusted drive root", "\"{root}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program lies outside the trusted folders, not started (5)[", false},
    {"a folder of a trusted ProgramData", "\"{pd}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program lies outside the trusted folders, not started (5)[", false},
    {"a user-writable folder of the Windows folder, made after the hook judged without it",
     "\"{dmp}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program lies outside the trusted folders, not started (5)[", false},
    // Where the policy lists publishers, a program of a trusted folder needs the signature of one.
    // A command an administrator registered reaches the program with its own arguments, the
    // placeholders filled as the shell fills them; the request's parameters never do.
    {"a switch before the document", "\"{t}\\probe.exe\" -jar \"%1\"", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true, nullptr, nullptr, "-jar|{doc}"},
    {"the document inside a larger argument", "\"{t}\\probe.exe\" \"--cd=%1\" %*", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true, nullptr, nullptr, "--cd={doc}"},
    {"the long name, the folder and a percent sign", "\"{t}\\probe.exe\" /w \"%W\" /p \"%L\" 100%%", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true, nullptr, nullptr,
     "/w|{dir}|/p|{doc}|100%"},
    {"no placeholder for the document: the document alone", "\"{t}\\probe.exe\" /dde", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true, nullptr, nullptr, "{doc}"},
    {"the user's own class: the document alone", "\"{t}\\probe.exe\" -jar \"%1\"", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true, nullptr, nullptr, "{doc}", true},
    {"a registered argument holding the launcher's mark", "\"{t}\\probe.exe\" /D:x \"%1\"", "", "vmplugin.dll", 5,
     "the registered command holds the launcher's argument mark, not started (5)[", false},
    {"signed by a listed publisher", "\"{t}\\listed\\probe.exe\" \"%1\"", "", "vmplugin.dll", 44,
     "launcher answered 0: started with the plug-in, answered 44", true, nullptr, c_strPublishers.c_str()},
    {"signed by a publisher listed by its SHA-256 thumbprint", "\"{t}\\listed\\probe.exe\" \"%1\"", "",
     "vmplugin.dll", 44, "launcher answered 0: started with the plug-in, answered 44", true, nullptr,
     VM_TEST_LISTED_SHA256},
    {"not signed, where publishers are listed", "\"{t}\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program is not signed by a publisher of TrustedPublishers, not started (5)[", false,
     "refused (5): {t}\\probe.exe is not signed by a publisher that TrustedPublishers lists", c_strPublishers.c_str()},
    {"signed by a publisher not listed", "\"{t}\\other\\probe.exe\" \"%1\"", "", "vmplugin.dll", 5,
     "the program is not signed by a publisher of TrustedPublishers, not started (5)[", false, nullptr,
     c_strPublishers.c_str()},
    {"signed by a listed publisher, changed after signing", "\"{t}\\changed\\probe.exe\" \"%1\"", "",
     "vmplugin.dll", 5, "the program is not signed by a publisher of TrustedPublishers, not started (5)[", false,
     nullptr, c_strPublishers.c_str()},
};

// The launcher and the plug-in serve only as an installed product: installed
// below Program Files and registered in the real HKLM, for the launcher to
// see, and the hook under test seeing itself as the installed module.
class CInstalledHook {
public:
    explicit CInstalledHook(vmtest::RegistryRedirect& a_redirect) : m_redirect(a_redirect)
    {
        m_redirect.Pause();
        m_product = std::make_unique<vmtest::CInstalledProduct>("VmDispatchTest");
        m_redirect.Resume();
        m_hModule = LoadLibraryExA((m_product->Build() + "\\vormidmgr.dll").c_str(), nullptr,
                                   DONT_RESOLVE_DLL_REFERENCES);
        m_hOld = g_hInstance;
        if (m_hModule)
            g_hInstance = m_hModule;
    }
    ~CInstalledHook()
    {
        g_hInstance = m_hOld;
        if (m_hModule)
            FreeLibrary(m_hModule);
        m_redirect.Pause();
        m_product.reset();
        m_redirect.Resume();
    }
    CInstalledHook(const CInstalledHook&) = delete;
    CInstalledHook& operator=(const CInstalledHook&) = delete;
    bool Ready() const { return m_product->Ready() && m_hModule; }
    std::string Build() const { return m_product->Build(); }
    // The policy the hook reads (beside the tests' cipher.dll) is the product's.
    void CopyPolicy() const
    {
        CopyFileA(vmtest::PolicyPath().c_str(), (m_product->Product() + "\\company.ccf").c_str(), FALSE);
    }

private:
    vmtest::RegistryRedirect& m_redirect;
    std::unique_ptr<vmtest::CInstalledProduct> m_product;
    HMODULE m_hModule = nullptr;
    HINSTANCE m_hOld = nullptr;
};

TEST_F(DispatcherTest, PluginGoesOnlyIntoTheTrustedRegisteredProgram)
{
    char szProgramFiles[MAX_PATH] = {};
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, szProgramFiles));
    std::string strProgramFiles = std::string(szProgramFiles) + "\\VmTrustTest";
    CInstalledHook installed(*m_redirect);
    ASSERT_TRUE(installed.Ready()) << installed.Build();
    ASSERT_TRUE(CopyFileA(m_strPlugin.c_str(), (installed.Build() + "\\" + c_szPlugin).c_str(), FALSE));
    const std::string strRealPlugin = installed.Build() + "\\vmplugin.dll";
    const std::string strSubPlugin = installed.Build() + "\\sub\\vmplugin.dll";
    CreateDirectoryA((installed.Build() + "\\sub").c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(strRealPlugin.c_str(), strSubPlugin.c_str(), FALSE));
    const std::string strRoot = "C:\\vmtrustroot", strProgramData = "C:\\ProgramData\\vmtrust";
    char szWindows[MAX_PATH] = {};
    ASSERT_NE(0u, GetWindowsDirectoryA(szWindows, MAX_PATH));
    const std::string strDmp = std::string(szWindows) + "\\system32\\com\\dmp";
    const std::string dirs[] = {Path("trusted"), Path("users"), strProgramFiles, strRoot, strProgramData};
    for (const std::string& strDir : dirs)
        CreateDirectoryA(strDir.c_str(), nullptr);
    for (const std::string& strDir : dirs)
        InstallProbe(strDir + "\\probe.exe");
    for (const char* szSigner : {"listed", "other", "changed"}) {
        CreateDirectoryA((Path("trusted") + "\\" + szSigner).c_str(), nullptr);
        InstallProbe(Path("trusted") + "\\" + szSigner + "\\probe.exe", std::string("probe-") + szSigner + ".exe");
    }
    std::string strRecord = Path("record.txt");
    std::string strFile = Path("report.vmt");
    vmtest::WriteFile(strFile, "document");
    vmtest::SetString(HKEY_CLASSES_ROOT, ".vmt", nullptr, "VmTest.Document");
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_szMachineEnvironment, "VM_TEST_USER_DIR", Path("users"));
    for (const TrustRow& row : c_trustRows) {
        SCOPED_TRACE(row.szCase);
        auto expand = [&](std::string a_str) {
            for (auto var : {std::make_pair("{t}", Path("trusted")), std::make_pair("{u}", Path("users")),
                             std::make_pair("{pf}", strProgramFiles), std::make_pair("{root}", strRoot),
                             std::make_pair("{pd}", strProgramData), std::make_pair("{dmp}", strDmp),
                             std::make_pair("{cipher}", installed.Build() + "\\cipher.dll"),
                             std::make_pair("{doc}", strFile), std::make_pair("{dir}", strFile.substr(0, strFile.rfind('\\')))})
                for (size_t i = a_str.find(var.first); i != std::string::npos; i = a_str.find(var.first))
                    a_str.replace(i, strlen(var.first), var.second);
            return a_str;
        };
        // Made only now: the hook has judged while it was missing, and must look again.
        if (strstr(row.szCommand, "{dmp}")) {
            SHCreateDirectoryExA(nullptr, strDmp.c_str(), nullptr);
            InstallProbe(strDmp + "\\probe.exe");
        }
        vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Document\\shell\\open\\command", nullptr, expand(row.szCommand));
        // Wine's classes root is the machine's alone; Windows reads the user's own class first.
        if (row.bUserClass)
            vmtest::SetString(HKEY_CURRENT_USER, "Software\\Classes\\VmTest.Document\\shell\\open\\command", nullptr,
                              expand(row.szCommand));
        else
            RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Classes\\VmTest.Document");
        vmtest::PolicyFields policy = {{"CompanyID", "ACME"},
                                       {"probe.exe", row.szPlugin},
                                       {"TrustedFolders", Path("trusted") + ";C:\\;C:\\ProgramData"}};
        if (row.szPublishers)
            policy.push_back({"TrustedPublishers", row.szPublishers});
        vmtest::WritePolicy(policy);
        installed.CopyPolicy();
        std::string strDirectory = expand(row.szDirectory);
        Request request("open", &strFile);
        request.sei.lpDirectory = strDirectory.empty() ? nullptr : strDirectory.c_str();
        m_capture.Clear();
        EXPECT_EQ(Offer(request), S_OK);
        EXPECT_EQ(request.InstApp(), row.nInstApp);
        EXPECT_TRUE(TracedPart(row.szTrace));
        if (row.szVerdict) {
            EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), expand(row.szVerdict));
        }
        std::string strRecorded = WaitForRecord(strRecord, row.bRuns ? 10000 : 1000);
        if (row.bRuns) {
            EXPECT_NE(strRecorded.find("\nplugin=1\n"), std::string::npos) << strRecorded;
            if (row.szArguments) {
                EXPECT_NE(strRecorded.find("probe.exe|" + expand(row.szArguments) + "\n"), std::string::npos)
                    << strRecorded;
            }
        } else {
            EXPECT_EQ(strRecorded, "") << "the program ran";
        }
    }
    for (const std::string& strDir : {strProgramFiles, strRoot, strProgramData})
        vmtest::RemoveTree(strDir);
    DeleteFileA((strDmp + "\\probe.exe").c_str());
    RemoveDirectoryA(strDmp.c_str());
    RemoveDirectoryA(strDmp.substr(0, strDmp.rfind('\\')).c_str());
}

// rundll32 runs any module it is given: it is never launched under control.
TEST_F(DispatcherTest, RundllIsNeverLaunched)
{
    RegisterApplication("RunDll32.exe");
    std::string strFile = Path("RunDll32.exe");
    Request request("open", &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::Execute] CheckControlInformation is SKIPPED_INJECTION"}));
    for (const std::string& strText : m_capture.Texts())
        EXPECT_EQ(strText.find("IsRegisteredApplication is"), std::string::npos) << strText;
}

// A request handed back says which of its causes applied; one that is
// controlled but cannot be served says what is missing.
TEST_F(DispatcherTest, EachHandedBackVerdictSaysItsCause)
{
    vmtest::WriteFile(Path("report.vmd"), "document");
    vmtest::WriteFile(Path("plain.vmnone"), "document");
    vmtest::WriteFile(Path("plan.vmcu"), "document");
    std::string strApp = AssociateDocuments(".vmd", "app.exe");
    const std::string strControl = "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmcu";
    vmtest::SetDword(HKEY_LOCAL_MACHINE, strControl, "ControlType", 4);
    vmtest::SetString(HKEY_LOCAL_MACHINE, strControl, "Application", "app.exe");
    vmtest::SetString(HKEY_CLASSES_ROOT, "Applications\\app.exe\\shell\\open\\command", nullptr,
                      "\"" + strApp + "\" \"%1\"");
    const struct {
        const char* m_szFile;
        const char* m_szCommand; // the .vmd open command; null: app.exe
        const char* m_szPlugin;  // registered for app.exe; null: nothing
        std::string m_strVerdict;
    } rows[] = {
        {"plain.vmnone", nullptr, c_szPlugin, "handed back to Windows (no application is associated with the file type)"},
        {"report.vmd", nullptr, nullptr, "handed back to Windows (the policy registers no plug-in for the application)"},
        {"report.vmd", nullptr, "absent.dll",
         "handed back to Windows unprotected (the plug-in " + vmtest::TestDir() +
             "\\absent.dll that the policy names for app.exe is missing)"},
        {"plan.vmcu", nullptr, nullptr,
         "handed back to Windows unprotected (the control table controls .vmcu with app.exe, but the policy "
         "registers no plug-in for app.exe)"},
        {"report.vmd", "rundll32.exe shimgvw.dll,ImageView_Fullscreen %1", c_szPlugin,
         "handed back to Windows (rundll32 runs whatever module it is given, so it is never controlled)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_strVerdict);
        if (row.m_szCommand)
            vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Document\\shell\\open\\command", nullptr, row.m_szCommand);
        vmtest::WritePolicy({{"CompanyID", "ACME"}, {"app.exe", row.m_szPlugin ? row.m_szPlugin : ""}});
        std::string strFile = Path(row.m_szFile);
        Request request("open", &strFile);
        EXPECT_EQ(Offer(request), S_FALSE);
        EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), row.m_strVerdict);
    }
    const struct {
        const char* m_szVerb;
        const char* m_szFile; // null: no file
        const char* m_szCause;
    } requests[] = {
        {"runas", "report.vmd", "the hook decides only open, open-as, print, edit, new and read"},
        {"open", "desk.scf", "a shell command file is the shell's own"},
        {"open", nullptr, "the request names no file"},
    };
    for (const auto& row : requests) {
        SCOPED_TRACE(row.m_szCause);
        std::string strFile = row.m_szFile ? Path(row.m_szFile) : std::string();
        Request request(row.m_szVerb, row.m_szFile ? &strFile : nullptr);
        EXPECT_EQ(Offer(request), S_FALSE);
        EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), std::string("handed back to Windows (") + row.m_szCause + ")");
    }
}

// The scan runs between the two registration checks; this stand-in for the
// snapshot drops the registration from the policy, as an administrator might
// at that moment, and lists no process.
HANDLE WINAPI SnapshotThatDropsTheRegistration(DWORD, DWORD)
{
    vmtest::WritePolicy({{"CompanyID", "ACME"}});
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// ControlType 4, and 3 for "open", without a registration: the application
// is started directly with the document, and the start is answered.
TEST_F(DispatcherTest, UnregisteredApplicationOfControlType4IsStartedDirectly)
{
    std::string strApp = Path("app.exe");
    std::string strRecord = InstallProbe(strApp);
    vmtest::SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmc", "Application", "app.exe");
    vmtest::SetString(HKEY_CLASSES_ROOT, "Applications\\app.exe\\shell\\open\\command", nullptr,
                      "\"" + strApp + "\" \"%1\"");
    std::string strFile = Path("plan.vmc");
    vmtest::WriteFile(strFile, "text");
    std::string strCommand = strApp + " \"" + strFile + "\"";
    vmtest::PolicyCodePatch patch(vmtest::PolicyCodePatch::Kernel32Export("CreateToolhelp32Snapshot"),
                                  reinterpret_cast<void*>(SnapshotThatDropsTheRegistration));

    for (DWORD dwControlType : {4u, 3u}) {
        SCOPED_TRACE(dwControlType);
        vmtest::SetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmc", "ControlType",
                         dwControlType);
        RegisterApplication("app.exe");
        m_capture.Clear();
        Request started("open", &strFile);
        EXPECT_EQ(Offer(started), S_OK);
        EXPECT_EQ(started.InstApp(), c_nResultHandled);
        EXPECT_TRUE(TracedInOrder({"[CLxShellExt::CheckControlInformation] IsRegisteredApplication is [1]",
                                   "[CLxShellExt::IsRegisteredApplication] ccf -> not registered application[app.exe]",
                                   "CreateProcess!!![" + strCommand + "]",
                                   "[CLxShellExt::Execute] IsExceptionApplication is EXECUTE_EXCEPTION"}));
        EXPECT_NE(WaitForRecord(strRecord).find("cmdline=" + strCommand + "\n"), std::string::npos);
    }
    // A quote in the document's text would end its argument early.
    RegisterApplication("app.exe");
    m_capture.Clear();
    std::string strQuoted = Path("x\" /evil \"y.vmc");
    Request quoted("open", &strQuoted);
    EXPECT_EQ(Offer(quoted), S_OK);
    EXPECT_EQ(quoted.InstApp(), SE_ERR_ACCESSDENIED);
    EXPECT_TRUE(TracedPart("[CLxShellExt::RunApplication] file text holds a double quote, not started (5)["));
    EXPECT_EQ(WaitForRecord(strRecord, 1000), "") << "the application ran";

    vmtest::WritePolicy({{"CompanyID", "ACME"}, {"app.exe", c_szPlugin}, {"TrustedFolders", m_strDir}});
    for (int i = 0; i < 100 && !DeleteFileA(strApp.c_str()); ++i)
        Sleep(50);
    m_capture.Clear();
    Request missing("open", &strFile);
    EXPECT_EQ(Offer(missing), S_OK);
    EXPECT_EQ(missing.InstApp(), SE_ERR_FNF);
    EXPECT_TRUE(TracedInOrder({"CreateProcess!!![" + strCommand + "]",
                               "[CLxShellExt::RunApplication] application not found, not started (2)[" +
                                   strCommand + "]"}));
}

// An instance of the application that carries the plug-in and takes its
// documents by DDE gets the document itself: nothing is launched.
TEST_F(DispatcherTest, RunningInstanceWithThePluginKeepsTheDocument)
{
    ASSERT_TRUE(CopyFileA((vmtest::TestDir() + "\\policy_plugin.dll").c_str(), m_strPlugin.c_str(), FALSE));
    std::string strApp = AssociateDocuments(".vmd", "app.exe");
    ASSERT_TRUE(CopyFileA((vmtest::TestDir() + "\\vmprobe.exe").c_str(), strApp.c_str(), FALSE));
    vmtest::SetString(HKEY_CLASSES_ROOT, "VmTest.Document\\shell\\open\\ddeexec\\Application", nullptr, "app");
    RegisterApplication("app.exe");
    vmtest::PolicyChildProcess running;
    ASSERT_TRUE(running.StartWaiting(strApp, m_strPlugin));

    std::string strFile = Path("report.vmd");
    Request request("open", &strFile);
    EXPECT_EQ(Offer(request), S_FALSE);
    EXPECT_TRUE(TracedInOrder({"[CLxShellExt::CheckControlInformation] IsRegisteredApplication is [1]",
                               "[CLxShellExt::Execute] IsInjectableApplication is false",
                               "[CLxShellExt::Execute] IsExceptionApplication is SKIPPED_INJECTION"}));
}

// The document's header decides ControlType 1 (encrypted and opened) and 2
// (encrypted, any verb): the control table's application is launched, else
// the ordinary association (unregistered here) hands the request back.
TEST_F(DispatcherTest, EncryptedDocumentsFollowTheControlTable)
{
    InstallLauncher();
    SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
    std::string strControlApp = Path("ctl.exe");
    vmtest::WriteFile(strControlApp, "MZ");
    vmtest::SetString(HKEY_CLASSES_ROOT, "Applications\\ctl.exe\\shell\\open\\command", nullptr,
                      "\"" + strControlApp + "\" \"%1\"");
    AssociateDocuments(".vmk", "plain.exe");
    RegisterApplication("ctl.exe");
    unsigned char header[cipherfmt::c_cbAcapHeader];
    cipherfmt::BuildAcapHeader(4, header);
    std::string strSecret = Path("secret.vmk");
    std::string strPlain = Path("plain.vmk");
    vmtest::WriteFile(strSecret, std::string(reinterpret_cast<char*>(header), sizeof(header)) + "text");
    vmtest::WriteFile(strPlain, "text");

    struct {
        DWORD m_dwControlType;
        const char* m_szVerb;
        const std::string& m_strFile;
        bool m_bLaunched;
    } rows[] = {
        {1, "open", strSecret, true},    // encrypted and opened
        {1, "openas", strSecret, false}, // open-as is no opening for 1
        {1, "open", strPlain, false},    // not encrypted
        {2, "openas", strSecret, true},  // encrypted, any verb
        {2, "open", strPlain, false},
    };
    const std::string c_strKey = "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmk";
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_strKey, "Application", "ctl.exe");
    for (const auto& row : rows) {
        SCOPED_TRACE("ControlType " + std::to_string(row.m_dwControlType) + ", " + row.m_szVerb + " " +
                     row.m_strFile);
        vmtest::SetDword(HKEY_LOCAL_MACHINE, c_strKey, "ControlType", row.m_dwControlType);
        Request request(row.m_szVerb, &row.m_strFile);
        m_capture.Clear();
        EXPECT_EQ(Offer(request), row.m_bLaunched ? S_OK : S_FALSE);
        EXPECT_EQ(m_capture.Contains("[CLxShellExt::GetDoucmentInfo] -> acap file [" + row.m_strFile + "]"),
                  &row.m_strFile == &strSecret)
            << m_capture.Dump();
        if (row.m_bLaunched) {
            EXPECT_EQ(request.InstApp(), c_nResultLaunched);
            EXPECT_TRUE(TracedInOrder({"sz[" + Launcher() + " " + strControlApp + " \"" + row.m_strFile +
                                       "\"/D:" + m_strPlugin + "]"}));
        }
    }
}

} // namespace
