// The registry reader and writer against the real registry, from scratch keys.

#include "resolution/ShellRegistry.h"

#include "tests/resolution/ResolutionFixture.h"

#include <cstring>

using vmtest::ScratchRegistry;

namespace {

class ShellRegistryTest : public ::testing::Test {
protected:
    ScratchRegistry m_registry{"ShellRegistry"};
    vmtest::TraceSwitches m_switches{true};
    vmtest::DebugCapture m_capture;
};

TEST_F(ShellRegistryTest, QueryRegistryValueReportsMissingKeyAndValue)
{
    vmtest::SetString(HKEY_CLASSES_ROOT, "txtfile", nullptr, "Text Document");
    vmtest::CreateKey(HKEY_CLASSES_ROOT, "nodefault");
    CLxShellRegistry registry;
    char szData[MAX_PATH] = {};
    DWORD cbData = sizeof(szData);
    EXPECT_EQ(registry.QueryRegistryValue(HKEY_CLASSES_ROOT, "nofile", nullptr, reinterpret_cast<BYTE*>(szData), &cbData), 2);
    cbData = sizeof(szData);
    EXPECT_EQ(registry.QueryRegistryValue(HKEY_CLASSES_ROOT, "txtfile", "Missing", reinterpret_cast<BYTE*>(szData), &cbData), 2);
    // No value name: the default value, which this key lacks; the name shows
    // as the platform's formatter shows a null text.
    cbData = sizeof(szData);
    EXPECT_EQ(registry.QueryRegistryValue(HKEY_CLASSES_ROOT, "nodefault", nullptr, reinterpret_cast<BYTE*>(szData), &cbData), 2);
    cbData = sizeof(szData);
    EXPECT_EQ(registry.QueryRegistryValue(HKEY_CLASSES_ROOT, "txtfile", nullptr, reinterpret_cast<BYTE*>(szData), &cbData), 0);
    EXPECT_STREQ(szData, "Text Document");
    EXPECT_EQ(cbData, 14u);
    EXPECT_EQ(m_capture.Texts(),
              (std::vector<std::string>{
                  "[CLxShellRegistry::QueryRegistryValue] registry open key failed, regkey = nofile",
                  "[CLxShellRegistry::QueryRegistryValue] registry QueryValue failed, valuename = Missing, ret = 2",
                  "[CLxShellRegistry::QueryRegistryValue] registry QueryValue failed, valuename = (null), ret = 2"}))
        << m_capture.Dump();
}

// Text values around the 260-byte capacity, read into a 260-byte window of a
// larger buffer whose other bytes are sentinels.
struct SizeRow {
    const char* m_szWhat;
    DWORD m_dwType;
    size_t m_cchText;  // characters stored
    bool m_bWithZero;  // terminating zero stored with them
    LONG m_lExpected;
    LONG m_lExpectedOnWine; // where Wine answers otherwise
};

bool IsWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

const SizeRow c_sizeRows[] = {
    {"259 characters and zero: exactly 260 bytes fit", REG_SZ, 259, true, ERROR_SUCCESS, ERROR_SUCCESS},
    {"260 characters and zero: 261 bytes are more data", REG_SZ, 260, true, ERROR_MORE_DATA, ERROR_MORE_DATA},
    {"REG_EXPAND_SZ is read as stored, same limit", REG_EXPAND_SZ, 259, true, ERROR_SUCCESS, ERROR_SUCCESS},
    // Windows hands the 260 bytes over without a zero; Wine 8 wants room for
    // one and answers more data.
    {"260 characters stored without a zero fill the window", REG_SZ, 260, false, ERROR_SUCCESS, ERROR_MORE_DATA},
    {"260 binary bytes fill the window", REG_BINARY, 260, false, ERROR_SUCCESS, ERROR_SUCCESS},
    {"261 binary bytes are more data", REG_BINARY, 261, false, ERROR_MORE_DATA, ERROR_MORE_DATA},
};

TEST_F(ShellRegistryTest, TextValuesAroundTheCapacityNeverPassTheBuffer)
{
    for (const SizeRow& row : c_sizeRows) {
        SCOPED_TRACE(row.m_szWhat);
        LONG lExpected = IsWine() ? row.m_lExpectedOnWine : row.m_lExpected;
        std::string strData(row.m_cchText, 'x');
        vmtest::SetRaw(HKEY_CLASSES_ROOT, "sized", nullptr, row.m_dwType, strData.c_str(),
                       static_cast<DWORD>(row.m_cchText + (row.m_bWithZero ? 1 : 0)));

        unsigned char buffer[MAX_PATH + 64];
        memset(buffer, 0xCD, sizeof(buffer));
        DWORD cbData = MAX_PATH;
        CLxShellRegistry registry;
        EXPECT_EQ(registry.QueryRegistryValue(HKEY_CLASSES_ROOT, "sized", nullptr, buffer, &cbData), lExpected);
        for (size_t i = MAX_PATH; i < sizeof(buffer); ++i)
            ASSERT_EQ(buffer[i], 0xCD) << "byte " << i << " written past the buffer";

        // The resolution code's own text reads end in a zero in every case.
        RegistryText szText;
        memset(szText, 0xCD, sizeof(szText));
        LONG lStatus = QueryRegistryText(HKEY_CLASSES_ROOT, "sized", nullptr, szText);
        EXPECT_EQ(lStatus, lExpected);
        EXPECT_EQ(strlen(szText), lStatus == ERROR_SUCCESS ? row.m_cchText : 0u);
    }
}

TEST_F(ShellRegistryTest, WalkSkipsAFailedStepAndEndsAtTheKeyReached)
{
    vmtest::SetString(HKEY_CLASSES_ROOT, "cls\\shell\\edit\\command", nullptr, "edit.exe %1");
    HKEY hClass = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "cls", 0, KEY_READ, &hClass), ERROR_SUCCESS);

    CLxShellRegistry walk;
    EXPECT_TRUE(walk.Open(hClass, nullptr));
    EXPECT_EQ(walk.Key(), hClass); // no subkey: the very key is held
    EXPECT_TRUE(walk.SubOpen("shell"));
    EXPECT_FALSE(walk.SubOpen("open"));
    EXPECT_TRUE(walk.SubOpen("edit"));
    EXPECT_TRUE(walk.SubOpen("command"));
    char szData[MAX_PATH] = {};
    DWORD cbData = sizeof(szData);
    EXPECT_TRUE(walk.QueryData(nullptr, reinterpret_cast<BYTE*>(szData), &cbData));
    EXPECT_STREQ(szData, "edit.exe %1");
    cbData = sizeof(szData);
    EXPECT_FALSE(walk.QueryData("none", reinterpret_cast<BYTE*>(szData), &cbData));
    walk.Close();
    EXPECT_EQ(walk.Key(), nullptr);
    walk.Close(); // holding nothing: nothing happens

    EXPECT_EQ(m_capture.Texts(), (std::vector<std::string>{"[CLxShellRegistry::Open] registry SubOpen failed, ret = 2",
                                                           "[CLxShellRegistry::Open] registry QueryData failed, ret = 2"}))
        << m_capture.Dump();
    // The caller's key is still open and still ours to close.
    EXPECT_EQ(RegQueryValueExA(hClass, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(hClass), ERROR_SUCCESS);
}

TEST_F(ShellRegistryTest, OpenWithANullRootFails)
{
    CLxShellRegistry walk;
    EXPECT_FALSE(walk.Open(nullptr, nullptr));
    EXPECT_FALSE(walk.Open(nullptr, "shell"));
    EXPECT_EQ(m_capture.Count("[CLxShellRegistry::Open] registry Open failed, ret = 6"), 2u) << m_capture.Dump();
}

// Thousands of walks, each through keys of its own and starting at a key of
// the caller's, leave the process's handle count where it was, and the
// caller's key open.
TEST_F(ShellRegistryTest, WalksNeitherLeakNorCloseTheCallersKey)
{
    vmtest::SetString(HKEY_CLASSES_ROOT, "cls\\shell\\open\\command", nullptr, "open.exe %1");
    HKEY hClass = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "cls", 0, KEY_READ, &hClass), ERROR_SUCCESS);
    DWORD dwBefore = vmtest::HandleCount();
    {
        // The count sees registry keys at all.
        vm::UniqueKey probe;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "cls", 0, KEY_READ, probe.put()), ERROR_SUCCESS);
        ASSERT_EQ(vmtest::HandleCount(), dwBefore + 1);
    }
    for (int i = 0; i < 3000; ++i) {
        CLxShellRegistry walk;
        walk.Open(hClass, nullptr);
        walk.SubOpen("shell");
        walk.SubOpen(i % 2 ? "open" : "missing"); // half of them stop on the way
        walk.SubOpen("command");
        if (i % 3 == 0)
            walk.Close(); // the others are dropped holding a key
        CLxShellRegistry fromRoot;
        fromRoot.Open(HKEY_CLASSES_ROOT, "cls\\shell");
        fromRoot.SubOpen("open");
    }
    for (int i = 0; i < 1000; ++i) {
        char szData[MAX_PATH];
        DWORD cbData = sizeof(szData);
        CLxShellRegistry().QueryRegistryValue(HKEY_CLASSES_ROOT, "cls\\shell\\open\\command", i % 2 ? nullptr : "x",
                                              reinterpret_cast<BYTE*>(szData), &cbData);
        CRegistryWriter().SetReg(HKEY_CLASSES_ROOT, "written", nullptr, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2, true);
    }
    EXPECT_EQ(vmtest::HandleCount(), dwBefore);
    EXPECT_EQ(RegCloseKey(hClass), ERROR_SUCCESS);
}

TEST_F(ShellRegistryTest, SetRegCreatesWhenAskedAndTracesItsFailures)
{
    const BYTE* pData = reinterpret_cast<const BYTE*>("acad");
    CRegistryWriter writer;
    EXPECT_EQ(writer.SetReg(HKEY_CLASSES_ROOT, "a\\b\\c", nullptr, REG_SZ, pData, 5, false), 2);
    EXPECT_EQ(ScratchRegistry::ReadString(HKEY_CLASSES_ROOT, "a\\b\\c", nullptr), "<missing>");
    EXPECT_EQ(writer.SetReg(HKEY_CLASSES_ROOT, "a\\b\\c", nullptr, REG_SZ, pData, 5, true), 0);
    EXPECT_EQ(ScratchRegistry::ReadString(HKEY_CLASSES_ROOT, "a\\b\\c", nullptr), "acad");
    EXPECT_EQ(writer.SetReg(HKEY_CLASSES_ROOT, "a\\b\\c", "named", REG_SZ, pData, 5, false), 0);
    EXPECT_EQ(ScratchRegistry::ReadString(HKEY_CLASSES_ROOT, "a\\b\\c", "named"), "acad");
    EXPECT_EQ(writer.CloseKey(), ERROR_INVALID_HANDLE); // nothing left open
    EXPECT_EQ(m_capture.Texts(), std::vector<std::string>{"registry open key failed, regkey = a\\b\\c\n"})
        << m_capture.Dump();
}

} // namespace
