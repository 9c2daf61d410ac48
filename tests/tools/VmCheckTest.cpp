// vmcheck's installation check against the prefix's real registry: the
// registrations of the hook's class that would make some user's Explorer
// load another module than the machine's.

#include "common/Handle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/KeySecurity.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string c_strHook = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
const std::string c_strOther = "{8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B01}";
// A profile of another user, loaded as Windows loads a logged-on user's.
// Wine lets a test create it below HKEY_USERS; Windows only loads hives there.
const std::string c_strOtherSid = "S-1-5-21-7-7-7-1001";

// The lines of the checks that look at the hook's class outside the
// machine's registration, in their order.
Lines ClassOverrideLines(const Lines& a_lines)
{
    Lines lines;
    for (const std::string& strLine : a_lines)
        for (const char* szCheck : {"hook class per user: ", "hook class redirect: "})
            if (strLine.find(szCheck) != std::string::npos && strLine.find(' ') == strLine.find(szCheck) - 1)
                lines.push_back(strLine);
    return lines;
}

std::string CurrentUserSid()
{
    vm::UniqueNullHandle token;
    BYTE buffer[256] = {};
    DWORD cb = 0;
    LPSTR szSid = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &cb) ||
        !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &szSid))
        return "?";
    std::string strSid = szSid;
    LocalFree(szSid);
    return strSid;
}

// Removes a_strKey and then each parent left empty, up to a_strKeep (which
// stays): what a row created, and nothing it found. Paths as named, in no
// registry view's redirection.
void RemoveUpTo(HKEY a_hRoot, std::string a_strKey, const std::string& a_strKeep)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS)
        RegDeleteTreeA(key.get(), nullptr);
    key.reset();
    RegDeleteKeyExA(a_hRoot, a_strKey.c_str(), KEY_WOW64_64KEY, 0);
    for (size_t iSlash = a_strKey.rfind('\\'); iSlash != std::string::npos && iSlash > a_strKeep.size();
         iSlash = a_strKey.rfind('\\')) {
        a_strKey.erase(iSlash);
        DWORD cSubkeys = 1, cValues = 1;
        if (RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS ||
            RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, &cValues, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            cSubkeys != 0 || cValues != 0)
            return;
        key.reset();
        RegDeleteKeyExA(a_hRoot, a_strKey.c_str(), KEY_WOW64_64KEY, 0);
    }
}

// Each row: one key of the hook's class written (its path as named, in no
// registry view's redirection), and the lines vmcheck must give.
TEST(VmCheckTest, EveryLoadedProfilesClassesAndTreatAsAreChecked)
{
    const std::string strUserSid = CurrentUserSid();
    const std::string strNone = "OK hook class per user: no loaded profile registers or redirects the class " +
                                c_strHook + " of its own; profiles not loaded now were not checked";
    const std::string strNoRedirect = "OK hook class redirect: no TreatAs of the machine redirects the class " +
                                      c_strHook;
    const std::string strUserFail = "FAIL hook class per user: HKU\\";
    const std::string strUserEnd = " for that profile's user, so their Explorer does not load the product's hook. "
                                   "Fix: run: reg delete \"HKU\\";
    const struct {
        HKEY m_hRoot;
        std::string m_strKeep;  // the part of the path that the row finds and leaves
        std::string m_strKey;   // the hook's class key
        const char* m_szSubkey;
        const char* m_szData;   // the subkey's default value; null: none
        bool m_bLocked;         // the class key denies reading to everyone
        Lines m_expected;
    } rows[] = {
        // nothing of the kind: both checks pass, and say what they could not see
        {HKEY_USERS, "", c_strOtherSid + "\\Software\\Classes\\CLSID\\" + c_strHook, "ProgID",
         "Vormidmgr.DocHook.1", false, {strNoRedirect, strNone}},
        // another loaded profile's classes hive names another module
        {HKEY_USERS, "", c_strOtherSid + "_Classes\\CLSID\\" + c_strHook, "InprocServer32",
         "C:\\users\\Public\\x\\vormidmgr.dll", false,
         {strNoRedirect, strUserFail + c_strOtherSid + "_Classes\\CLSID\\" + c_strHook +
                             " registers the hook's class with C:\\users\\Public\\x\\vormidmgr.dll" + strUserEnd +
                             c_strOtherSid + "_Classes\\CLSID\\" + c_strHook +
                             "\" /f (profiles not loaded now were not checked)"}},
        // its Software\Classes in the 32-bit view, a server with no module
        {HKEY_USERS, "", c_strOtherSid + "\\Software\\Classes\\Wow6432Node\\CLSID\\" + c_strHook, "InprocServer32",
         nullptr, false,
         {strNoRedirect, strUserFail + c_strOtherSid + "\\Software\\Classes\\Wow6432Node\\CLSID\\" + c_strHook +
                             " registers the hook's class with no module" + strUserEnd + c_strOtherSid +
                             "\\Software\\Classes\\Wow6432Node\\CLSID\\" + c_strHook +
                             "\" /f (profiles not loaded now were not checked)"}},
        // a TreatAs of that profile's own redirects the class
        {HKEY_USERS, "", c_strOtherSid + "\\Software\\Classes\\CLSID\\" + c_strHook, "TreatAs", c_strOther.c_str(), false,
         {strNoRedirect, strUserFail + c_strOtherSid + "\\Software\\Classes\\CLSID\\" + c_strHook +
                             " redirects the hook's class to " + c_strOther + " (TreatAs)" + strUserEnd +
                             c_strOtherSid + "\\Software\\Classes\\CLSID\\" + c_strHook +
                             "\" /f (profiles not loaded now were not checked)"}},
        // a TreatAs that names the hook's own class redirects nothing
        {HKEY_USERS, "", c_strOtherSid + "_Classes\\CLSID\\" + c_strHook, "TreatAs", c_strHook.c_str(), false,
         {strNoRedirect, strNone}},
        // a profile's class key this user may not read is said to be unchecked
        {HKEY_USERS, "", c_strOtherSid + "_Classes\\CLSID\\" + c_strHook, "InprocServer32", "C:\\other.dll", true,
         {strNoRedirect,
          "WARN hook class per user: HKU\\" + c_strOtherSid + "_Classes\\CLSID\\" + c_strHook +
              " cannot be read (Access denied (5)), so it was not checked; run vmcheck as an administrator",
          strNone}},
        // the running user's own registration, as before
        {HKEY_CURRENT_USER, "Software\\Classes", "Software\\Classes\\CLSID\\" + c_strHook, "InprocServer32",
         "C:\\other.dll", false,
         {strNoRedirect, strUserFail + strUserSid + "\\Software\\Classes\\CLSID\\" + c_strHook +
                             " registers the hook's class with C:\\other.dll" + strUserEnd + strUserSid +
                             "\\Software\\Classes\\CLSID\\" + c_strHook +
                             "\" /f (profiles not loaded now were not checked)"}},
        // the machine's TreatAs, in each view
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", "SOFTWARE\\Classes\\CLSID\\" + c_strHook, "TreatAs",
         c_strOther.c_str(), false,
         {"FAIL hook class redirect: HKLM\\SOFTWARE\\Classes\\CLSID\\" + c_strHook +
              "\\TreatAs redirects the hook's class to " + c_strOther +
              ", so Explorer creates that class instead of the product's hook. Fix: run: reg delete "
              "\"HKLM\\SOFTWARE\\Classes\\CLSID\\" + c_strHook + "\\TreatAs\" /f",
          strNone}},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", "SOFTWARE\\Classes\\Wow6432Node\\CLSID\\" + c_strHook, "TreatAs",
         c_strOther.c_str(), false,
         {"FAIL hook class redirect: HKLM\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\" + c_strHook +
              "\\TreatAs redirects the hook's class to " + c_strOther +
              ", so Explorer creates that class instead of the product's hook. Fix: run: reg delete "
              "\"HKLM\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\" + c_strHook + "\\TreatAs\" /f",
          strNone}},
    };
    for (const auto& row : rows) {
        const std::string strKey = row.m_strKey + "\\" + row.m_szSubkey;
        SCOPED_TRACE(strKey + " = " + (row.m_szData ? row.m_szData : "(no value)"));
        vm::UniqueKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(row.m_hRoot, strKey.c_str(), 0, nullptr, 0,
                                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr));
        if (row.m_szData)
            RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(row.m_szData),
                           static_cast<DWORD>(strlen(row.m_szData) + 1));
        key.reset();
        vm::UniqueKey locked;
        if (row.m_bLocked) {
            ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(row.m_hRoot, row.m_strKey.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY,
                                                   locked.put()));
            vmtest::SetDeniedToEveryone(locked.get(), KEY_QUERY_VALUE);
        }
        vmtest::CToolRun run = vmtest::RunTool(vmtest::BinDir() + "\\vmcheck.exe", {}, 30000);
        if (locked)
            vmtest::SetDeniedToEveryone(locked.get(), 0);
        RemoveUpTo(row.m_hRoot, strKey, row.m_strKeep);
        SCOPED_TRACE(run.m_strCommand);
        EXPECT_TRUE(run.m_bEnded);
        EXPECT_EQ(row.m_expected, ClassOverrideLines(run.m_lines)) << vmtest::Joined(run.m_lines);
    }
}

} // namespace
