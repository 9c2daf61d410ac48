// Both hooks in one 64-bit prefix: each regsvr32 registers its own build in
// its own registry view, and unregistering one leaves the other working.

#include "common/Handle.h"
#include "tests/bitness/BitnessSupport.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace {

constexpr char c_szClsid[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
constexpr char c_szInproc[] = "CLSID\\{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}\\InprocServer32";
constexpr char c_szHooks[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
const CLSID c_clsidHook = {0x3B0F4085, 0x0A5D, 0x4E5C, {0x92, 0xC9, 0xCA, 0x34, 0x54, 0xD3, 0x28, 0x5D}};

struct Build {
    bool m_b32Bit;
    std::string m_strDir; // the scratch install folder
    REGSAM View() const { return m_b32Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }
    std::string Module() const { return m_strDir + "\\vormidmgr.dll"; }
};

// The string value in one view, or "<missing>".
std::string ReadInView(REGSAM a_view, HKEY a_hRoot, const char* a_szPath, const char* a_szName)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hRoot, a_szPath, 0, KEY_READ | a_view, key.put()) != ERROR_SUCCESS)
        return "<missing>";
    char sz[MAX_PATH] = {};
    DWORD cb = sizeof(sz) - 1;
    if (RegQueryValueExA(key.get(), a_szName, nullptr, nullptr, reinterpret_cast<BYTE*>(sz), &cb) != ERROR_SUCCESS)
        return "<missing>";
    return sz;
}

class BothViewsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_x86 = {true, vmtest::MakeScratchDir("bv-x86")};
        m_x64 = {false, vmtest::MakeScratchDir("bv-x64")};
        const std::vector<std::string> files{"vormidmgr.dll", "cipher.dll", "shellexec.exe"};
        ASSERT_TRUE(vmtest::CopyFiles(vmtest::X86BinDir(), m_x86.m_strDir, files)) << "the 32-bit build must be built first";
        ASSERT_TRUE(vmtest::CopyFiles(vmtest::BinDir(), m_x64.m_strDir, files));
        ASSERT_EQ(0u, Register(m_x64, true));
        ASSERT_EQ(0u, Register(m_x86, true));
    }

    void TearDown() override
    {
        Register(m_x86, false);
        Register(m_x64, false);
    }

    static DWORD Register(const Build& a_build, bool a_bRegister)
    {
        return vmtest::Regsvr32(a_build.m_b32Bit, a_bRegister, a_build.Module());
    }

    static void ExpectRegistered(const Build& a_build)
    {
        EXPECT_EQ(a_build.Module(), ReadInView(a_build.View(), HKEY_CLASSES_ROOT, c_szInproc, ""));
        EXPECT_EQ("Korvane Lumidex Manager", ReadInView(a_build.View(), HKEY_LOCAL_MACHINE, c_szHooks, c_szClsid));
        // shellexec of the same bitness finds the hook in its view and gets it created.
        std::string strOutput;
        DWORD dwExit = vmtest::RunProgram(a_build.m_strDir + "\\shellexec.exe",
                                          {"--no-fallback", "--verb", "properties", "C:\\none.txt"}, &strOutput);
        EXPECT_NE(strOutput.find(std::string("hook ") + c_szClsid + " -> S_FALSE"), std::string::npos)
            << "exit " << dwExit << ": " << strOutput;
    }

    static void ExpectUnregistered(const Build& a_build)
    {
        EXPECT_EQ("<missing>", ReadInView(a_build.View(), HKEY_CLASSES_ROOT, c_szInproc, ""));
        EXPECT_EQ("<missing>", ReadInView(a_build.View(), HKEY_LOCAL_MACHINE, c_szHooks, c_szClsid));
    }

    Build m_x86;
    Build m_x64;
};

TEST_F(BothViewsTest, EachBuildRegistersInItsOwnView)
{
    ExpectRegistered(m_x86);
    ExpectRegistered(m_x64);
    // This 64-bit process gets the 64-bit hook.
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    IShellExecuteHookA* pHook = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(c_clsidHook, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookA,
                                     reinterpret_cast<void**>(&pHook)));
    char szLoaded[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA(m_x64.Module().c_str()), szLoaded, MAX_PATH);
    EXPECT_EQ(m_x64.Module(), szLoaded);
    pHook->Release();
    CoUninitialize();
}

TEST_F(BothViewsTest, UnregisteringOneLeavesTheOtherWorking)
{
    ASSERT_EQ(0u, Register(m_x86, false));
    ExpectUnregistered(m_x86);
    ExpectRegistered(m_x64);

    ASSERT_EQ(0u, Register(m_x86, true));
    ASSERT_EQ(0u, Register(m_x64, false));
    ExpectUnregistered(m_x64);
    ExpectRegistered(m_x86);
}

} // namespace
