// Long and short path answers remembered between requests: once the folders
// along a path have settled, every change along it shows in the next answer,
// which is then the system's own.

#include "common/PathNameCache.h"

#include "tests/support/TestPaths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Longer than the time a changed folder is looked up afresh.
constexpr DWORD c_dwSettleMs = 2500;

using PathNameFunction = DWORD (*)(const char*, char*, DWORD);

// The text found, or for a failure the error code.
struct Answer {
    DWORD m_cch;
    std::string m_strText;
    DWORD m_dwError;
};

Answer Ask(PathNameFunction a_pfn, const std::string& a_strPath)
{
    char szOut[1040];
    memset(szOut, 0x5A, sizeof(szOut));
    SetLastError(0xDEADBEEF);
    DWORD cch = a_pfn(a_strPath.c_str(), szOut, sizeof(szOut));
    DWORD dwError = cch ? 0 : GetLastError();
    return {cch, cch && cch < sizeof(szOut) ? std::string(szOut) : std::string(), dwError};
}

DWORD SystemLong(const char* a_szPath, char* a_szOut, DWORD a_cch)
{
    return GetLongPathNameA(a_szPath, a_szOut, a_cch);
}

DWORD SystemShort(const char* a_szPath, char* a_szOut, DWORD a_cch)
{
    return GetShortPathNameA(a_szPath, a_szOut, a_cch);
}

void ExpectSystemAnswers(const std::vector<std::string>& a_paths)
{
    for (const std::string& strPath : a_paths) {
        SCOPED_TRACE(strPath);
        Answer systemLong = Ask(SystemLong, strPath), cachedLong = Ask(CachedLongPathName, strPath);
        EXPECT_EQ(systemLong.m_cch, cachedLong.m_cch);
        EXPECT_EQ(systemLong.m_strText, cachedLong.m_strText);
        EXPECT_EQ(systemLong.m_dwError, cachedLong.m_dwError);
        Answer systemShort = Ask(SystemShort, strPath), cachedShort = Ask(CachedShortPathName, strPath);
        EXPECT_EQ(systemShort.m_cch, cachedShort.m_cch);
        EXPECT_EQ(systemShort.m_strText, cachedShort.m_strText);
        EXPECT_EQ(systemShort.m_dwError, cachedShort.m_dwError);
    }
}

TEST(PathNameCacheTest, EveryChangeAlongASettledPathShowsInTheNextAnswer)
{
    const std::string strRoot = vmtest::MakeScratchDir("pathcache");
    CreateDirectoryA((strRoot + "\\Renamed Folder").c_str(), nullptr);
    CreateDirectoryA((strRoot + "\\Kept Folder").c_str(), nullptr);
    const std::string strInRenamed = strRoot + "\\Renamed Folder\\document one.txt";
    const std::string strGone = strRoot + "\\Kept Folder\\gone document.txt";
    const std::string strRecased = strRoot + "\\Kept Folder\\Recased Document.txt";
    // Names nothing yet; then a file of that name is written.
    const std::string strLater = strRoot + "\\Kept Folder\\later document.txt";
    // As the command parser asks for a command with arguments: never a name.
    const std::string strCommand = strRoot + "\\Kept Folder\\viewer.exe\" /n";
    for (const std::string& strFile : {strInRenamed, strGone, strRecased})
        vmtest::WriteFile(strFile, "text");
    Sleep(c_dwSettleMs);
    const std::string strShortForm = Ask(SystemShort, strInRenamed).m_strText;
    ASSERT_FALSE(strShortForm.empty());
    const std::vector<std::string> paths = {strInRenamed, strShortForm, strGone, strRecased, strLater,
                                            strCommand};
    ExpectSystemAnswers(paths);
    ExpectSystemAnswers(paths); // now remembered

    // A folder on the way renamed (in case only), a file deleted, a file
    // renamed in case only, a file written where nothing was.
    ASSERT_TRUE(MoveFileA((strRoot + "\\Renamed Folder").c_str(), (strRoot + "\\RENAMED folder").c_str()));
    ASSERT_TRUE(DeleteFileA(strGone.c_str()));
    ASSERT_TRUE(MoveFileA(strRecased.c_str(), (strRoot + "\\Kept Folder\\recased DOCUMENT.txt").c_str()));
    vmtest::WriteFile(strLater, "text");
    ExpectSystemAnswers(paths);
    Sleep(c_dwSettleMs);
    ExpectSystemAnswers(paths);
    EXPECT_EQ(0u, Ask(CachedLongPathName, strGone).m_cch);
    EXPECT_NE(0u, Ask(CachedLongPathName, strLater).m_cch);
    vmtest::RemoveTree(strRoot);
}

} // namespace
