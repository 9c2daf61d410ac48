// The policy file kept between requests: every change of the file shows in
// the very next request, also one that keeps its size and last-write time.

#include "common/Handle.h"
#include "decision/LxShellExt.h"

#include "tests/support/PolicyTestSupport.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

namespace {

using vmtest::TestDir;

// Longer than the time a written file is read afresh.
constexpr DWORD c_dwSettleMs = 2500;

class PolicyCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* szPlugin : {"cacheplugA.dll", "cacheplugB.dll"})
            DeleteFileA((TestDir() + "\\" + szPlugin).c_str());
        vmtest::WriteFile(TestDir() + "\\cacheplugA.dll", "MZ");
        m_ext.m_strAppName = "cacheapp.exe";
    }
    void TearDown() override { DeleteFileA((TestDir() + "\\cacheplugA.dll").c_str()); }

    // Registers cacheapp.exe with a plug-in; both names have the same length,
    // so the file keeps its size.
    void WriteNaming(const char* a_szPlugin) const
    {
        m_policy.Write({{"CompanyID", "ACME"}, {"cacheapp.exe", a_szPlugin}});
    }
    static FILETIME LastWrite(const std::string& a_strPath)
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExA(a_strPath.c_str(), GetFileExInfoStandard, &data);
        return data.ftLastWriteTime;
    }
    static void SetLastWrite(const std::string& a_strPath, const FILETIME& a_time)
    {
        HANDLE hFile = CreateFileA(a_strPath.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        SetFileTime(hFile, nullptr, nullptr, &a_time);
        CloseHandle(hFile);
    }
    std::string Plugin() const
    {
        const std::string& strDll = m_ext.m_strInjectionDll;
        return strDll.substr(strDll.find_last_of('\\') + 1);
    }

    vmtest::ScopedPolicyFile m_policy;
    CLxShellExt m_ext;
};

TEST_F(PolicyCacheTest, EveryChangeOfASettledFileShowsInTheNextRequest)
{
    const std::string strPath = vmtest::ScopedPolicyFile::Path();
    WriteNaming("cacheplugA.dll");
    Sleep(c_dwSettleMs);
    ASSERT_EQ(1, m_ext.IsRegisteredApplication());
    ASSERT_EQ(1, m_ext.IsRegisteredApplication()); // from the kept policy
    EXPECT_EQ("cacheplugA.dll", Plugin());

    // Edited and resealed in place: same file, same size, the old last-write time.
    FILETIME written = LastWrite(strPath);
    WriteNaming("cacheplugB.dll");
    SetLastWrite(strPath, written);
    EXPECT_EQ(2, m_ext.IsRegisteredApplication()) << "cacheplugB.dll does not exist";
    EXPECT_EQ("cacheplugB.dll", Plugin());

    // Settled again, then replaced by another file moved over it.
    Sleep(c_dwSettleMs);
    ASSERT_EQ(2, m_ext.IsRegisteredApplication());
    std::string strOther = TestDir() + "\\company-other.ccf";
    vmtest::WriteFile(strOther, vmtest::ReadFile(strPath));
    WriteNaming("cacheplugA.dll");
    ASSERT_TRUE(MoveFileExA(strPath.c_str(), strOther.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExA(strOther.c_str(), strPath.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(1, m_ext.IsRegisteredApplication());

    // Held open by another program without sharing, and its folder changed
    // so that it is read afresh: the last good policy stays in force.
    Sleep(c_dwSettleMs);
    ASSERT_EQ(1, m_ext.IsRegisteredApplication());
    {
        vm::UniqueFileHandle held(CreateFileA(strPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        const std::string strFolder = TestDir() + "\\policy-folder-changed";
        CreateDirectoryA(strFolder.c_str(), nullptr);
        EXPECT_EQ(1, m_ext.IsRegisteredApplication()) << "the policy held by another program";
        RemoveDirectoryA(strFolder.c_str());
    }

    // Gone: unusable at once.
    Sleep(c_dwSettleMs);
    ASSERT_EQ(1, m_ext.IsRegisteredApplication());
    m_policy.Remove();
    EXPECT_EQ(2, m_ext.IsRegisteredApplication()) << "the policy file is gone";
}

} // namespace
