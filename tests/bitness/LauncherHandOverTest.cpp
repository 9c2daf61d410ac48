// The launcher of either build starting an application of the other bitness:
// it hands the request to the other build's launcher, which brings in the
// same plug-in file of its own folder.

#include "companions/launcher/LaunchCommand.h"

#include "tests/bitness/BitnessSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>

namespace {

class LauncherHandOverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Installed below Program Files, each build's hook registered in its
        // view: there the launchers serve.
        m_strProduct = vmtest::MakeProgramFilesDir("handover");
        m_strX64 = m_strProduct + "\\x64";
        ASSERT_TRUE(CreateDirectoryA(m_strX64.c_str(), nullptr));
        std::string strX86Bin = vmtest::X86BinDir();
        Copy(strX86Bin + "\\vormidmgr.exe", m_strProduct + "\\vormidmgr.exe");
        Copy(strX86Bin + "\\vmplugin.dll", m_strProduct + "\\vmplugin.dll");
        Copy(strX86Bin + "\\..\\tests\\vmprobe.exe", m_strProduct + "\\probe32.exe");
        Copy(vmtest::BinDir() + "\\vormidmgr.exe", m_strX64 + "\\vormidmgr.exe");
        Copy(vmtest::BinDir() + "\\vmplugin.dll", m_strX64 + "\\vmplugin.dll");
        Copy(vmtest::ProbeExe(), m_strProduct + "\\probe64.exe");
        // Each launcher reads the one policy through its build's cipher.dll.
        Copy(strX86Bin + "\\cipher.dll", m_strProduct + "\\cipher.dll");
        Copy(vmtest::BinDir() + "\\cipher.dll", m_strX64 + "\\cipher.dll");
        Copy(strX86Bin + "\\vormidmgr.dll", m_strProduct + "\\vormidmgr.dll");
        Copy(vmtest::BinDir() + "\\vormidmgr.dll", m_strX64 + "\\vormidmgr.dll");
        ASSERT_EQ(0u, vmtest::Regsvr32(true, true, m_strProduct + "\\vormidmgr.dll"));
        ASSERT_EQ(0u, vmtest::Regsvr32(false, true, m_strX64 + "\\vormidmgr.dll"));
        vmtest::WriteFile(m_strProduct + "\\company.ccf",
                          vmtest::SealPolicy({{"CompanyID", "ACME"},
                                              {"probe32.exe", "vmplugin.dll"},
                                              {"probe64.exe", "vmplugin.dll"},
                                              {"TrustedFolders", m_strProduct}}));
        m_strRecord = m_strProduct + "\\record.txt";
        SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, m_strRecord.c_str());
    }

    void TearDown() override
    {
        SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, nullptr);
        vmtest::Regsvr32(true, false, m_strProduct + "\\vormidmgr.dll");
        vmtest::Regsvr32(false, false, m_strX64 + "\\vormidmgr.dll");
        vmtest::RemoveTree(m_strProduct);
    }

    static void Copy(const std::string& a_strFrom, const std::string& a_strTo)
    {
        ASSERT_TRUE(CopyFileA(a_strFrom.c_str(), a_strTo.c_str(), FALSE)) << a_strFrom << " (built?)";
    }

    // Runs a launcher with the arguments the hook writes; its exit code.
    static int RunLauncher(const std::string& a_strLauncher, const std::string& a_strArguments)
    {
        return static_cast<int>(vmtest::RunChild(a_strLauncher, a_strLauncher + " " + a_strArguments, 120000));
    }

    std::map<std::string, std::string> WaitForRecord()
    {
        vmtest::WaitUntil([&] { return !vmtest::ReadProbeRecord(m_strRecord).empty(); }, 30000);
        return vmtest::ReadProbeRecord(m_strRecord);
    }

    std::string m_strProduct;
    std::string m_strX64;
    std::string m_strRecord;
};

TEST_F(LauncherHandOverTest, X64LauncherHandsA32BitApplicationToThe32BitBuild)
{
    std::string strApp = m_strProduct + "\\probe32.exe";
    EXPECT_EQ(vmlaunch::c_nExitStarted,
              RunLauncher(m_strX64 + "\\vormidmgr.exe",
                          "\"" + strApp + "\" one \"two three\"/D:" + m_strX64 + "\\vmplugin.dll"));
    auto record = WaitForRecord();
    EXPECT_EQ("1", record["plugin"]);
    EXPECT_EQ(m_strProduct + "\\vmplugin.dll", record["pluginpath"]);
    EXPECT_EQ("\"" + strApp + "\" one \"two three\"", record["cmdline"]);
}

TEST_F(LauncherHandOverTest, ThirtyTwoBitLauncherHandsA64BitApplicationToTheX64Build)
{
    std::string strApp = m_strProduct + "\\probe64.exe";
    std::string strDir = vmtest::TestDir();
    EXPECT_EQ(vmlaunch::c_nExitStarted,
              RunLauncher(m_strProduct + "\\vormidmgr.exe",
                          strApp + " x/D:" + m_strProduct + "\\vmplugin.dll/D:" + strDir));
    auto record = WaitForRecord();
    EXPECT_EQ("1", record["plugin"]);
    EXPECT_EQ(m_strX64 + "\\vmplugin.dll", record["pluginpath"]);
    // The application's path holds a blank: the launcher quotes it.
    EXPECT_EQ("\"" + strApp + "\" x", record["cmdline"]);
    EXPECT_EQ(strDir, record["cwd"]);
}

TEST_F(LauncherHandOverTest, MissingPluginInTheMatchingBuildIsARefusedStart)
{
    ASSERT_TRUE(DeleteFileA((m_strProduct + "\\vmplugin.dll").c_str()));
    EXPECT_EQ(vmlaunch::c_nExitNoPlugin,
              RunLauncher(m_strX64 + "\\vormidmgr.exe",
                          m_strProduct + "\\probe32.exe/D:" + m_strX64 + "\\vmplugin.dll"));
    Copy(vmtest::X86BinDir() + "\\vmplugin.dll", m_strProduct + "\\vmplugin.dll");
    // A registered name outside the trusted folders is never handed over.
    std::string strUser = vmtest::MakeScratchDir("handover-user");
    Copy(vmtest::X86BinDir() + "\\..\\tests\\vmprobe.exe", strUser + "\\probe32.exe");
    EXPECT_EQ(vmlaunch::c_nExitUntrustedProgram,
              RunLauncher(m_strX64 + "\\vormidmgr.exe", strUser + "\\probe32.exe/D:" + m_strX64 + "\\vmplugin.dll"));
    vmtest::RemoveTree(strUser);
    ASSERT_TRUE(DeleteFileA((m_strX64 + "\\vormidmgr.exe").c_str()));
    EXPECT_EQ(vmlaunch::c_nExitNoMatchingBuild,
              RunLauncher(m_strProduct + "\\vormidmgr.exe",
                          m_strProduct + "\\probe64.exe/D:" + m_strProduct + "\\vmplugin.dll"));
    Sleep(500);
    EXPECT_FALSE(vmtest::FileExists(m_strRecord)) << "an application was started";
}

} // namespace
