// The running-process scanner against real processes: helper programs under
// the application's name, with and without the plug-in DLL loaded, and faults
// injected into the Toolhelp walks.

#include "decision/LxShellExt.h"
#include "policy/AppProcessQueue.h"
#include "policy/Toolhelp.h"
#include "trace/FaultGuard.h"
#include "trace/Trace.h"

#include "tests/support/DebugCapture.h"
#include "tests/support/HandleCount.h"
#include "tests/support/PolicyTestSupport.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

using vmtest::TestDir;
using Texts = std::vector<std::string>;

namespace {

const char c_szPlugin[] = "lxscanplug.dll";

DWORD HandleCount()
{
    return vmtest::OpenHandleCount();
}

class ProcessScannerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strScratch = vmtest::MakeScratchDir("policy-scan");
        m_strPlugin = m_strScratch + "\\" + c_szPlugin;
        ASSERT_TRUE(vmtest::PolicyCopyFile(TestDir() + "\\policy_plugin.dll", m_strPlugin));
        m_ext.m_strAppName = "testapp.exe";
        m_ext.m_strInjectionDll = m_strPlugin;
        m_ext.m_bDDEOpen = true;
    }
    void TearDown() override
    {
        m_children.clear(); // terminates and closes every helper process
        vmtest::RemoveTree(m_strScratch);
    }

    // Starts the helper under a_szExeName, with the plug-in loaded or not.
    DWORD Start(const char* a_szExeName, bool a_bWithPlugin)
    {
        std::string strDir = m_strScratch + "\\p" + std::to_string(m_children.size());
        CreateDirectoryA(strDir.c_str(), nullptr);
        std::string strExe = strDir + "\\" + a_szExeName;
        EXPECT_TRUE(vmtest::PolicyCopyFile(TestDir() + "\\vmprobe.exe", strExe));
        m_children.push_back(std::make_unique<vmtest::PolicyChildProcess>());
        EXPECT_TRUE(m_children.back()->StartWaiting(strExe, a_bWithPlugin ? m_strPlugin : ""))
            << strExe;
        return m_children.back()->Id();
    }

    std::string CountLine(int a_nCount) const
    {
        return m_ext.m_strAppName + " GetAppList -> count[" + std::to_string(a_nCount) +
               "], m_bDDEOpen[" + std::to_string(m_ext.m_bDDEOpen ? 1 : 0) + "]";
    }
    static std::string CheckLine(int a_nInjected, DWORD a_dwId)
    {
        return "bInjected[" + std::to_string(a_nInjected) + "] -> CheckModule(" +
               std::to_string(a_dwId) + ")";
    }
    static std::string SkipLine(DWORD a_dwId)
    {
        return "process id(" + std::to_string(a_dwId) + ") already injected. skip.\n";
    }

    vmtest::DebugCapture m_capture;
    CLxShellExt m_ext;
    std::string m_strScratch;
    std::string m_strPlugin;
    std::vector<std::unique_ptr<vmtest::PolicyChildProcess>> m_children;
};

TEST_F(ProcessScannerTest, NoRunningInstanceLetsTheLaunchGoAhead)
{
    EXPECT_TRUE(m_ext.IsInjectableApplication());
    EXPECT_EQ(m_capture.Texts(), Texts{CountLine(0)}) << m_capture.Dump();
}

TEST_F(ProcessScannerTest, WithoutDdeNoModuleIsLookedAt)
{
    Start("testapp.exe", true);
    m_ext.m_bDDEOpen = false;
    EXPECT_TRUE(m_ext.IsInjectableApplication());
    EXPECT_EQ(m_capture.Texts(), Texts{CountLine(1)}) << m_capture.Dump();
}

TEST_F(ProcessScannerTest, OneInstanceWithThePluginTakesTheDocument)
{
    DWORD dwId = Start("testapp.exe", true);
    EXPECT_FALSE(m_ext.IsInjectableApplication());
    EXPECT_EQ(m_capture.Texts(),
              (Texts{CountLine(1), "queue size[1]", CheckLine(0, dwId), SkipLine(dwId)}))
        << m_capture.Dump();
}

TEST_F(ProcessScannerTest, OneInstanceWithoutThePlugin)
{
    DWORD dwId = Start("testapp.exe", false);
    EXPECT_TRUE(m_ext.IsInjectableApplication());
    EXPECT_EQ(m_capture.Texts(), (Texts{CountLine(1), "queue size[1]", CheckLine(0, dwId)}))
        << m_capture.Dump();
}

TEST_F(ProcessScannerTest, OnlyTheFirstListedInstanceDecides)
{
    // Started in both orders; which one the snapshot lists first is read
    // from the platform, and the answer follows the first listed.
    for (bool bPluginFirst : {true, false}) {
        SCOPED_TRACE(bPluginFirst ? "started with plug-in first" : "started without plug-in first");
        m_children.clear();
        DWORD dwWith = 0, dwWithout = 0;
        if (bPluginFirst) {
            dwWith = Start("testapp.exe", true);
            dwWithout = Start("testapp.exe", false);
        } else {
            dwWithout = Start("testapp.exe", false);
            dwWith = Start("testapp.exe", true);
        }
        std::vector<DWORD> listed = vmtest::PolicyListProcesses("testapp.exe");
        ASSERT_EQ(listed.size(), 2u);
        m_capture.Clear();
        bool bInjectable = m_ext.IsInjectableApplication();
        Texts expected = {CountLine(2), "queue size[2]"};
        if (listed[0] == dwWith) {
            // first with the plug-in, second without: both examined
            EXPECT_FALSE(bInjectable);
            expected.insert(expected.end(), {CheckLine(0, dwWith), SkipLine(dwWith),
                                             CheckLine(1, dwWithout)});
        } else {
            // first without: the walk stops, the second is never examined
            EXPECT_TRUE(bInjectable);
            expected.push_back(CheckLine(0, dwWithout));
        }
        EXPECT_EQ(m_capture.Texts(), expected) << m_capture.Dump();
    }
}

TEST_F(ProcessScannerTest, TwoInstancesWithThePlugin)
{
    DWORD dwFirst = Start("testapp.exe", true);
    DWORD dwSecond = Start("testapp.exe", true);
    std::vector<DWORD> listed = vmtest::PolicyListProcesses("testapp.exe");
    ASSERT_EQ(listed.size(), 2u);
    if (listed[0] != dwFirst)
        std::swap(dwFirst, dwSecond);
    EXPECT_FALSE(m_ext.IsInjectableApplication());
    EXPECT_EQ(m_capture.Texts(),
              (Texts{CountLine(2), "queue size[2]", CheckLine(0, dwFirst), SkipLine(dwFirst),
                     CheckLine(1, dwSecond), SkipLine(dwSecond)}))
        << m_capture.Dump();
}

TEST_F(ProcessScannerTest, NamesAndPluginMatchByFileNameInAnyCase)
{
    DWORD dwId = Start("winword.exe", true);
    m_ext.m_strAppName = "WINWORD.EXE";
    AppProcessQueue queue;
    ASSERT_EQ(m_ext.GetAppList(queue), 1);
    EXPECT_EQ(queue.front().th32ProcessID, dwId);
    // Wine lists the bare file name; Windows may list a path.
    EXPECT_EQ(lstrcmpiA(queue.front().szExeFile + strlen(queue.front().szExeFile) - 11,
                        "winword.exe"), 0) << queue.front().szExeFile;

    struct {
        std::string m_strInjectionDll;
        bool m_bCarries;
    } rows[] = {
        {m_strPlugin, true},                          // the plug-in's own path
        {"C:\\elsewhere\\LXSCANPLUG.DLL", true},       // same file name elsewhere, other case
        {"", false},                                  // no plug-in: nothing has an empty name
        {"C:\\elsewhere\\lxscanplug.dl", false},       // a name that only begins like it
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("m_strInjectionDll [" + row.m_strInjectionDll + "]");
        m_ext.m_strInjectionDll = row.m_strInjectionDll;
        EXPECT_EQ(m_ext.CheckModule(dwId), row.m_bCarries);
        EXPECT_EQ(m_ext.IsInjectableApplication(), !row.m_bCarries);
    }
    // A process that is not there cannot be listed: it does not carry it.
    m_ext.m_strInjectionDll = m_strPlugin;
    EXPECT_FALSE(m_ext.CheckModule(0xFFFFFFF0u));
}

TEST_F(ProcessScannerTest, ScanningLeavesNoHandleBehind)
{
    Start("testapp.exe", true);
    Start("testapp.exe", false);
    m_ext.IsInjectableApplication(); // first use may allocate lasting handles of the platform
    DWORD dwBefore = HandleCount();
    for (int i = 0; i < 50; ++i)
        m_ext.IsInjectableApplication();
    EXPECT_EQ(HandleCount(), dwBefore);
}

TEST(ToolhelpSnapshotTest, CreateTakesAndReplacesTheSnapshot)
{
    ToolhelpFunctions functions;
    EXPECT_EQ(functions.m_hModule, GetModuleHandleA("KERNEL32.DLL"));
    ASSERT_TRUE(functions.IsUsable());

    DWORD dwBefore = HandleCount();
    {
        CToolhelpSnapshot snapshot;
        EXPECT_EQ(snapshot.Handle(), INVALID_HANDLE_VALUE);
        PROCESSENTRY32 process{};
        process.dwSize = sizeof(process);
        EXPECT_FALSE(snapshot.ProcessFirst(&process)); // no snapshot yet
        ASSERT_TRUE(snapshot.Create(c_dwSnapProcesses, 0));
        EXPECT_TRUE(snapshot.Create(c_dwSnapModules, GetCurrentProcessId())); // replaces it
        MODULEENTRY32 module{};
        module.dwSize = sizeof(module);
        ASSERT_TRUE(snapshot.ModuleFirst(&module));
        EXPECT_FALSE(snapshot.Create(0, 0)); // flags 0 only closes
        EXPECT_EQ(snapshot.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(snapshot.Create(c_dwSnapProcesses, 0));
    } // the destructor closes the last one
    EXPECT_EQ(HandleCount(), dwBefore);
}

// ---- Faults and exceptions inside the walks -------------------------------

// The first C++ exception of the process makes the runtime create the
// synchronisation handles it keeps for good; they are not the walk's.
void WarmUpExceptionRuntime()
{
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
}

int g_nCalls = 0;

BOOL WINAPI FaultingProcessNext(HANDLE, PROCESSENTRY32* a_pEntry)
{
    // One made-up instance first, then a fault: what was appended stays.
    if (g_nCalls++ == 0) {
        a_pEntry->th32ProcessID = 4242;
        lstrcpyA(a_pEntry->szExeFile, "testapp.exe");
        return TRUE;
    }
    *static_cast<volatile int*>(nullptr) = 0;
    return FALSE;
}

BOOL WINAPI ThrowingProcessNext(HANDLE, PROCESSENTRY32*)
{
    throw std::bad_alloc();
}

BOOL WINAPI FaultingModuleNext(HANDLE, MODULEENTRY32*)
{
    *static_cast<volatile int*>(nullptr) = 0;
    return FALSE;
}

BOOL WINAPI ThrowingModuleNext(HANDLE, MODULEENTRY32*)
{
    throw std::bad_alloc();
}

Texts g_recorded;

// Records every debugger text, and faults on the scanner's queue-size line.
void WINAPI FaultingOutputDebugString(const char* a_szText)
{
    g_recorded.push_back(a_szText);
    if (strncmp(a_szText, "queue size[", 11) == 0)
        *static_cast<volatile int*>(nullptr) = 0;
}

TEST_F(ProcessScannerTest, FaultsInTheProcessWalkAnswerZero)
{
    void* replacements[] = {reinterpret_cast<void*>(FaultingProcessNext),
                            reinterpret_cast<void*>(ThrowingProcessNext)};
    WarmUpExceptionRuntime();
    for (void* pReplacement : replacements) {
        void* pChain = vm::CurrentExceptionList();
        DWORD dwBefore = HandleCount();
        AppProcessQueue queue;
        g_nCalls = 0;
        int nCount;
        {
            vmtest::PolicyCodePatch patch(vmtest::PolicyCodePatch::Kernel32Export("Process32Next"),
                                          pReplacement);
            nCount = m_ext.GetAppList(queue);
        }
        EXPECT_EQ(nCount, 0);
        if (pReplacement == reinterpret_cast<void*>(FaultingProcessNext)) {
            ASSERT_EQ(queue.size(), 1u);
            EXPECT_EQ(queue.front().th32ProcessID, 4242u);
        }
        EXPECT_EQ(HandleCount(), dwBefore); // the snapshot was closed
        EXPECT_EQ(vm::CurrentExceptionList(), pChain);
    }
}

TEST_F(ProcessScannerTest, FaultsInTheModuleWalkCountAsNotCarrying)
{
    // Our own process carries kernel32; a walk that faults never sees it.
    m_ext.m_strInjectionDll = "C:\\windows\\system32\\kernel32.dll";
    ASSERT_TRUE(m_ext.CheckModule(GetCurrentProcessId()));
    WarmUpExceptionRuntime();
    void* replacements[] = {reinterpret_cast<void*>(FaultingModuleNext),
                            reinterpret_cast<void*>(ThrowingModuleNext)};
    for (void* pReplacement : replacements) {
        void* pChain = vm::CurrentExceptionList();
        DWORD dwBefore = HandleCount();
        bool bCarries;
        {
            vmtest::PolicyCodePatch patch(vmtest::PolicyCodePatch::Kernel32Export("Module32Next"),
                                          pReplacement);
            bCarries = m_ext.CheckModule(GetCurrentProcessId());
        }
        EXPECT_FALSE(bCarries);
        EXPECT_EQ(HandleCount(), dwBefore);
        EXPECT_EQ(vm::CurrentExceptionList(), pChain);
    }
}

TEST_F(ProcessScannerTest, FaultInTheQueueWalkIsTracedAndTheLaunchGoesAhead)
{
    DWORD dwId = Start("testapp.exe", true);
    (void)dwId;
    g_recorded.clear();
    bool bInjectable;
    {
        vmtest::PolicyCodePatch patch(vmtest::PolicyCodePatch::Kernel32Export("OutputDebugStringA"),
                                      reinterpret_cast<void*>(FaultingOutputDebugString));
        bInjectable = m_ext.IsInjectableApplication();
    }
    EXPECT_TRUE(bInjectable);
    EXPECT_EQ(g_recorded, (Texts{CountLine(1), "queue size[1]",
                                 "[CLxShellExt::IsInjectableApplication] -> execption occurred!!"}));
}

} // namespace
