// The Windows 9x branch of the application-path lookup, run for real: the
// test program starts a copy of itself under a name for which Wine reports a
// Windows 9x version, and that copy runs the Win9xChild tests.

#include "tests/resolution/ResolutionFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"

#include <shlwapi.h>

using vmtest::ScratchRegistry;

namespace {

const char c_szChildEnv[] = "VM_RESOLUTION_W9X_CHILD";
const char c_szChildExe[] = "resolution_w9x.exe";
const std::string c_strAppDefaults = std::string("Software\\Wine\\AppDefaults\\") + c_szChildExe;
const std::string c_strAppPaths = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

bool IsChild()
{
    return GetEnvironmentVariableA(c_szChildEnv, nullptr, 0) > 0;
}

std::string MarkerPath()
{
    return vmtest::TestDir() + "\\resolution_w9x.result";
}

TEST(Win9xChild, AppPathsAreReadOnTheWindows9xFamily)
{
    if (!IsChild())
        GTEST_SKIP() << "runs in the copy started by Win9xFamilyTest";
    DWORD dwVersion = GetVersion();
    ASSERT_NE(dwVersion & 0x80000000u, 0u) << std::hex << dwVersion;

    ScratchRegistry registry("Win9x");
    vmtest::TraceSwitches switches;
    vmtest::DebugCapture capture;
    std::string strNotepad = vmtest::WindowsDir() + "\\notepad.exe";
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_strAppPaths + "paths.exe", nullptr, strNotepad);
    CLxShellExt ext;
    vmtest::ResolutionRequest request(ext, "C:\\d\\a.txt");

    ext.m_strAppName = "paths.exe";
    EXPECT_TRUE(ext.GetExtControlApplicationPath());
    EXPECT_EQ(ext.m_strAppPath, strNotepad);
    EXPECT_TRUE(capture.Contains("[CLxShellExt::GetExtControlApplicationPath] before QueryRegistryValue(HKEY_LOCAL_MACHINE, " +
                                 c_strAppPaths + "paths.exe)"))
        << capture.Dump();

    ext.m_strAppName = "none.exe";
    EXPECT_TRUE(ext.GetExtControlApplicationPath());
    EXPECT_EQ(ext.m_strAppPath, "C:\\d\\a.txt");
    EXPECT_TRUE(capture.Contains("[CLxShellExt::GetExtControlApplicationPath] not existed reg key [" + c_strAppPaths +
                                 "none.exe]"))
        << capture.Dump();

    if (!::testing::Test::HasFailure())
        vmtest::WriteFile(MarkerPath(), "passed");
}

// Sets up the Wine version entry for the copy, runs it and removes both.
TEST(Win9xFamilyTest, CopyRunsTheAppPathsLookup)
{
    if (IsChild())
        GTEST_SKIP();
    std::string strCopy = vmtest::TestDir() + "\\" + c_szChildExe;
    char szSelf[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    ASSERT_TRUE(CopyFileA(szSelf, strCopy.c_str(), FALSE));
    DeleteFileA(MarkerPath().c_str());
    vmtest::SetString(HKEY_CURRENT_USER, c_strAppDefaults, "Version", "win98");

    std::string strCommand = "\"" + strCopy + "\" --gtest_filter=Win9xChild.*";
    SetEnvironmentVariableA(c_szChildEnv, "1");
    DWORD dwExit = vmtest::RunChild(strCopy, strCommand, 60000);
    SetEnvironmentVariableA(c_szChildEnv, nullptr);

    SHDeleteKeyA(HKEY_CURRENT_USER, c_strAppDefaults.c_str());
    DeleteFileA(strCopy.c_str());
    EXPECT_NE(dwExit, vmtest::c_dwChildNotStarted);
    EXPECT_EQ(dwExit, 0u);
    EXPECT_EQ(vmtest::ReadFile(MarkerPath()), "passed") << "the copy did not run its test under a 9x version";
    DeleteFileA(MarkerPath().c_str());
}

} // namespace
