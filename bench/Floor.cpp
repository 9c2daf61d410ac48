#include "bench/Floor.h"

#include "common/Handle.h"
#include "common/OfficeAddins.h"
#include "companions/cipher/cipher.h"
#include "tests/support/TestPaths.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

namespace vmbench {

namespace {

constexpr char c_szOffice[] = "Software\\Microsoft\\Office\\";

void QueryValue(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    char szData[MAX_PATH + 1];
    DWORD cb = MAX_PATH;
    RegQueryValueExA(key.get(), a_szValue, nullptr, nullptr, reinterpret_cast<BYTE*>(szData), &cb);
}

void LongPath(const std::string& a_strPath)
{
    char szLong[MAX_PATH];
    GetLongPathNameA(a_strPath.c_str(), szLong, MAX_PATH);
}

// An application's quoted command as the command parser takes it: the short
// form of the path, whether it exists, and the long form of that.
void ParsedApplication(const std::string& a_strApp)
{
    char szShort[MAX_PATH];
    DWORD cch = GetShortPathNameA(a_strApp.c_str(), szShort, MAX_PATH);
    std::string strPath = cch && cch < MAX_PATH ? std::string(szShort) : a_strApp;
    PathFileExistsA(strPath.c_str());
    LongPath(strPath);
}

std::string ModulePath()
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    return szPath;
}

} // namespace

CFloor::CFloor(const vmtest::CRequestMix& a_mix, int a_nClass, std::vector<std::string> a_traces)
    : m_mix(a_mix), m_nClass(a_nClass), m_traces(std::move(a_traces)), m_strFile(a_mix.File(a_nClass)),
      m_strExt(PathFindExtensionA(m_strFile.c_str()))
{
}

void CFloor::Replay() const
{
    std::string strFile = m_strFile;
    if (!strFile.empty())
        PathUnquoteSpacesA(&strFile[0]);
    ReplayUpkeep();
    for (const std::string& strText : m_traces)
        OutputDebugStringA(strText.c_str());
    switch (m_nClass) {
    case vmtest::c_requestNoFile:
        return;
    case vmtest::c_requestApplication:
        LongPath(m_strFile);
        ReplayRegistration("tool.exe");
        return;
    default:
        ReplayDocument();
    }
}

// Resiliency keys, the three add-in entries and the twelve security keys.
void CFloor::ReplayUpkeep() const
{
    if (m_nClass != vmtest::c_requestNoFile) {
        for (const char* szVersion : {"10.0", "11.0"}) {
            vm::UniqueKey key;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(c_szOffice) + szVersion).c_str(), 0,
                              KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS)
                for (const char* szSub : {"Word\\Resiliency", "Excel\\Resiliency",
                                          "PowerPoint\\Resiliency", "Outlook\\Resiliency"})
                    SHDeleteKeyA(key.get(), szSub);
        }
    }
    char szDir[MAX_PATH];
    GetModuleFileNameA(nullptr, szDir, MAX_PATH);
    PathRemoveFileSpecA(szDir);
    for (const vm::COfficeAddin& addin : vm::c_officeAddins)
        QueryValue(HKEY_CURRENT_USER, vm::OfficeAddinKey(addin), "LoadBehavior");
    for (const char* szVersion : {"9.0", "10.0", "11.0", "12.0"})
        for (const vm::COfficeAddin& addin : vm::c_officeAddins) {
            vm::UniqueKey key;
            std::string strKey =
                std::string(c_szOffice) + szVersion + "\\" + addin.m_szApplication + "\\Security";
            if (RegCreateKeyExA(HKEY_CURRENT_USER, strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, key.put(), nullptr) != ERROR_SUCCESS)
                continue;
            DWORD dw = 0, cb = sizeof(dw);
            RegQueryValueExA(key.get(), "DontTrustInstalledFiles", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&dw), &cb);
        }
}

void CFloor::ReplayDocument() const
{
    LongPath(m_strFile);
    {
        CFlexibleHeader header;
        header.GetHeaderFromFile(m_strFile.c_str(), 0, 0, 0);
    }
    QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Lumidex\\FileExts\\" + m_strExt, "ControlType");
    QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Lumidex\\FileExts\\" + m_strExt, "Application");
    ReplayResolution();
    if (m_nClass == vmtest::c_requestUnknownExtension)
        return;
    const char* szApp = m_nClass == vmtest::c_requestControlledLaunch ? "drawer.exe" : "viewer.exe";
    ReplayRegistration(szApp);
    if (m_nClass != vmtest::c_requestControlledLaunch)
        return;
    // The running processes are scanned, the registration asked again, and
    // the launcher started (absent here, as in the mix).
    vm::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL b = Process32First(snapshot.get(), &entry); b; b = Process32Next(snapshot.get(), &entry))
        lstrcmpiA(entry.szExeFile, szApp);
    ReplayRegistration(szApp);
    std::string strLauncher = vmtest::TestDir() + "\\vormidmgr.exe";
    std::string strCommand = strLauncher + " \"" + m_strFile + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    vm::UniqueProcessInfo process;
    CreateProcessA(strLauncher.c_str(), &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr,
                   nullptr, &si, process.put());
}

void CFloor::ReplayResolution() const
{
    std::string strApp = m_mix.Dir() + "\\viewer.exe";
    if (HKEY hClass = m_mix.ClassKey(m_nClass)) {
        QueryValue(hClass, "shell\\open\\command", nullptr);
        QueryValue(hClass, "shell\\open\\ddeexec", nullptr);
        ParsedApplication(strApp);
        return;
    }
    QueryValue(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\" + m_strExt,
               "Application");
    if (m_nClass == vmtest::c_requestUserChoice) {
        QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\viewer.exe",
                   nullptr);
        return;
    }
    char szProgId[MAX_PATH + 1] = {};
    LONG cb = MAX_PATH;
    if (RegQueryValueA(HKEY_CLASSES_ROOT, m_strExt.c_str(), szProgId, &cb) != ERROR_SUCCESS)
        return;
    QueryValue(HKEY_CLASSES_ROOT, std::string(szProgId) + "\\shell\\open\\command", nullptr);
    QueryValue(HKEY_CLASSES_ROOT, std::string(szProgId) + "\\shell\\open\\ddeexec\\Application", nullptr);
    if (m_nClass == vmtest::c_requestControlledLaunch)
        strApp = m_mix.Dir() + "\\drawer.exe";
    ParsedApplication(strApp);
}

// A fresh read of the policy file and, for a registered application, the
// plug-in beside the module.
void CFloor::ReplayRegistration(const char* a_szAppName) const
{
    CCCF ccf;
    if (ccf.CheckCCFValidity() != 0)
        return;
    const char* szPlugin = ccf.GetField(a_szAppName);
    if (!szPlugin || !*szPlugin)
        return;
    ccf.GetField("ExcludeAppList");
    ccf.GetField("VormidpmiAppList");
    std::string strPlugin = ModulePath();
    strPlugin = strPlugin.substr(0, strPlugin.rfind('\\') + 1) + szPlugin;
    LongPath(strPlugin);
    PathFileExistsA(strPlugin.c_str());
}

} // namespace vmbench
