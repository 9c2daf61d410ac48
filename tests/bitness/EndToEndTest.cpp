// A controlled document offered through the shell host of either bitness to
// the hook of the same bitness, both builds installed side by side: the
// application, 32-bit or 64-bit, starts with the plug-in of its own bitness
// inside, and the hook answers 44; or, when an instance that carries its
// plug-in already runs and takes documents by DDE, the hook hands it back.

#include "common/Handle.h"
#include "tests/bitness/BitnessSupport.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <ostream>
#include <string>

namespace {

constexpr char c_szClsid[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
constexpr char c_szFileExts[] = "SOFTWARE\\Korvane\\Lumidex\\FileExts";
constexpr char c_szApplications[] = "Applications";

// Each hook reads its control table and associations in its own registry
// view: the installation writes them into both.
const REGSAM c_views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

void DeleteTree(HKEY a_hRoot, const char* a_szParent, const std::string& a_strName, REGSAM a_view)
{
    vm::UniqueKey parent;
    if (RegOpenKeyExA(a_hRoot, a_szParent, 0, KEY_ALL_ACCESS | a_view, parent.put()) == ERROR_SUCCESS)
        RegDeleteTreeA(parent.get(), a_strName.c_str());
}

struct Route {
    const char* m_szName;
    bool m_bHost32;       // the 32-bit shellexec and hook, else the 64-bit ones
    const char* m_szApp;  // probe32.exe or probe64.exe
    bool m_bPlugin32;     // the plug-in expected inside: the 32-bit build's
    bool m_bHeld = false;       // an instance with its plug-in runs; the association uses DDE
    bool m_bHandedBack = false; // the hook answers S_FALSE
};

// The document's association: the control table's for a new instance; the
// application's own, with its DDE entry, beside a held one.
std::string DocumentName(const Route& a_route, bool a_bHeld)
{
    return std::string(a_bHeld ? "plan.dde" : "plan.vm") + (a_route.m_szApp[5] == '3' ? "32" : "64");
}

void PrintTo(const Route& a_route, std::ostream* a_pStream)
{
    *a_pStream << a_route.m_szName;
}

class EndToEndTest : public ::testing::TestWithParam<Route> {
protected:
    static void SetUpTestSuite()
    {
        // Below Program Files and registered, where the product serves.
        s_strProduct = vmtest::MakeProgramFilesDir("e2e");
        s_strX64 = s_strProduct + "\\x64";
        CreateDirectoryA(s_strX64.c_str(), nullptr);
        const std::vector<std::string> files{"vormidmgr.dll", "cipher.dll", "vormidmgr.exe", "vmplugin.dll",
                                             "shellexec.exe"};
        s_bReady = vmtest::CopyFiles(vmtest::X86BinDir(), s_strProduct, files) &&
                   vmtest::CopyFiles(vmtest::BinDir(), s_strX64, files) &&
                   CopyFileA((vmtest::X86BinDir() + "\\..\\tests\\vmprobe.exe").c_str(),
                             (s_strProduct + "\\probe32.exe").c_str(), FALSE) &&
                   CopyFileA(vmtest::ProbeExe().c_str(), (s_strProduct + "\\probe64.exe").c_str(), FALSE);
        // One policy in the product folder, read by both builds.
        vmtest::WriteFile(s_strProduct + "\\company.ccf",
                          vmtest::SealPolicy({{"CompanyID", "E2E"},
                                              {"probe32.exe", "vmplugin.dll"},
                                              {"probe64.exe", "vmplugin.dll"},
                                              {"TrustedFolders", s_strProduct}}));
        for (REGSAM view : c_views) {
            for (const char* szApp : {"probe32.exe", "probe64.exe"}) {
                std::string strEntry = std::string(c_szFileExts) + "\\." + (szApp[5] == '3' ? "vm32" : "vm64");
                std::string strOpen = std::string(c_szApplications) + "\\" + szApp + "\\shell\\open\\";
                vmtest::SetDword(HKEY_LOCAL_MACHINE, strEntry, "ControlType", 4, view);
                vmtest::SetString(HKEY_LOCAL_MACHINE, strEntry, "Application", szApp, REG_SZ, view);
                vmtest::SetString(HKEY_CLASSES_ROOT, strOpen + "command", nullptr,
                                  "\"" + s_strProduct + "\\" + szApp + "\" \"%1\"", REG_SZ, view);
                vmtest::SetString(HKEY_CLASSES_ROOT, strOpen + "ddeexec", nullptr, "[open(\"%1\")]", REG_SZ, view);
            }
        }
        s_bReady = s_bReady && vmtest::Regsvr32(true, true, s_strProduct + "\\vormidmgr.dll") == 0 &&
                   vmtest::Regsvr32(false, true, s_strX64 + "\\vormidmgr.dll") == 0;
    }

    void TearDown() override
    {
        SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, nullptr);
        vmtest::TerminateProcesses(GetParam().m_szApp);
    }

    // The shell host's output and the hook's trace for an "open" of
    // a_strDocument, with the application's association as the class key when asked.
    static std::string Offer(bool a_bHost32, const std::string& a_strDocument, const char* a_szClassApp)
    {
        std::vector<std::string> args{"--trace", "--no-fallback", "--verb", "open", a_strDocument};
        if (a_szClassApp)
            args.insert(args.begin(), {"--class", std::string(c_szApplications) + "\\" + a_szClassApp});
        std::string strOutput;
        vmtest::RunProgram((a_bHost32 ? s_strProduct : s_strX64) + "\\shellexec.exe", args, &strOutput);
        return strOutput;
    }

    static void TearDownTestSuite()
    {
        vmtest::Regsvr32(true, false, s_strProduct + "\\vormidmgr.dll");
        vmtest::Regsvr32(false, false, s_strX64 + "\\vormidmgr.dll");
        vmtest::RemoveTree(s_strProduct);
        for (REGSAM view : c_views) {
            DeleteTree(HKEY_LOCAL_MACHINE, c_szFileExts, ".vm32", view);
            DeleteTree(HKEY_LOCAL_MACHINE, c_szFileExts, ".vm64", view);
            DeleteTree(HKEY_CLASSES_ROOT, c_szApplications, "probe32.exe", view);
            DeleteTree(HKEY_CLASSES_ROOT, c_szApplications, "probe64.exe", view);
        }
    }

    static std::string s_strProduct;
    static std::string s_strX64;
    static bool s_bReady;
};

std::string EndToEndTest::s_strProduct;
std::string EndToEndTest::s_strX64;
bool EndToEndTest::s_bReady = false;

TEST_P(EndToEndTest, ApplicationStartsWithThePluginOfItsBitness)
{
    ASSERT_TRUE(s_bReady) << "installation in " << s_strProduct << " (the 32-bit build must be built first)";
    const Route& route = GetParam();
    std::string strRecord = s_strProduct + "\\record.txt";
    DeleteFileA(strRecord.c_str());
    SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, strRecord.c_str());
    auto hasRecord = [&] { return !vmtest::ReadProbeRecord(strRecord).empty(); };
    if (route.m_bHeld) {
        // Started under control by the hook of its own bitness, and kept running.
        SetEnvironmentVariableA(vmtest::c_szProbeHoldVariable, "100000");
        std::string strFirst = s_strProduct + "\\" + DocumentName(route, false);
        vmtest::WriteFile(strFirst, "controlled\r\n");
        Offer(route.m_szApp[5] == '3', strFirst, nullptr);
        SetEnvironmentVariableA(vmtest::c_szProbeHoldVariable, nullptr);
        ASSERT_TRUE(vmtest::WaitUntil(hasRecord, 30000)) << "no held instance of " << route.m_szApp;
        ASSERT_TRUE(DeleteFileA(strRecord.c_str()));
    }
    std::string strDocument = s_strProduct + "\\" + DocumentName(route, route.m_bHeld);
    vmtest::WriteFile(strDocument, "controlled\r\n");
    std::string strOutput = Offer(route.m_bHost32, strDocument, route.m_bHeld ? route.m_szApp : nullptr);
    if (route.m_bHeld) { // the scan found the instance and looked into it
        EXPECT_NE(strOutput.find(std::string(route.m_szApp) + " GetAppList -> count[1], m_bDDEOpen[1]"),
                  std::string::npos) << strOutput;
    }
    if (route.m_bHandedBack) {
        EXPECT_NE(strOutput.find(std::string("hook ") + c_szClsid + " -> S_FALSE"), std::string::npos) << strOutput;
        return;
    }
    EXPECT_NE(strOutput.find(std::string("hook ") + c_szClsid + " -> S_OK"), std::string::npos) << strOutput;
    EXPECT_NE(strOutput.find("hInstApp=44"), std::string::npos) << strOutput;

    vmtest::WaitUntil(hasRecord, 30000);
    auto record = vmtest::ReadProbeRecord(strRecord);
    EXPECT_EQ(s_strProduct + "\\" + route.m_szApp, record["exe"]);
    EXPECT_EQ("1", record["plugin"]);
    EXPECT_EQ((route.m_bPlugin32 ? s_strProduct : s_strX64) + "\\vmplugin.dll", record["pluginpath"]);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, EndToEndTest,
    ::testing::Values(Route{"Host64App32", false, "probe32.exe", true}, Route{"Host64App64", false, "probe64.exe", false},
                      Route{"Host32App32", true, "probe32.exe", true}, Route{"Host32App64", true, "probe64.exe", false},
                      // The x64 hook sees the 32-bit plug-in inside a running 32-bit instance, as the 32-bit hook does.
                      Route{"Host64HeldApp32", false, "probe32.exe", true, true, true},
                      // The 32-bit hook cannot list a 64-bit process's modules: that instance counts as
                      // without the plug-in, and a second one starts with it.
                      Route{"Host32HeldApp64", true, "probe64.exe", false, true, false}),
    [](const ::testing::TestParamInfo<Route>& a_info) { return std::string(a_info.param.m_szName); });

} // namespace
