#include "tests/support/CompanionsSupport.h"

#include "common/Handle.h"
#include "tests/support/TestPaths.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <sstream>
#include <vector>

namespace vmtest {

namespace {

// Written out here, not taken from the product: the registration the
// installer makes.
constexpr char c_szHookClassKey[] = "Software\\Classes\\CLSID\\{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
constexpr char c_szServerSubkey[] = "\\InprocServer32";

bool ReadServer(std::string& a_strServer)
{
    char szValue[MAX_PATH * 2] = {};
    DWORD cb = sizeof(szValue) - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, (std::string(c_szHookClassKey) + c_szServerSubkey).c_str(), nullptr,
                     RRF_RT_REG_SZ, nullptr, szValue, &cb) != ERROR_SUCCESS)
        return false;
    a_strServer = szValue;
    return true;
}

bool WriteServer(const std::string& a_strServer)
{
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, (std::string(c_szHookClassKey) + c_szServerSubkey).c_str(), nullptr,
                           REG_SZ, a_strServer.c_str(), static_cast<DWORD>(a_strServer.size() + 1)) == ERROR_SUCCESS;
}

} // namespace

CInstalledProduct::CInstalledProduct(const std::string& a_strName)
{
    char szProgramFiles[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, szProgramFiles)))
        return;
    m_strProduct = std::string(szProgramFiles) + "\\" + a_strName;
    m_strBuild = sizeof(void*) == 8 ? m_strProduct + "\\x64" : m_strProduct;
    RemoveTree(m_strProduct);
    CreateDirectoryA(m_strProduct.c_str(), nullptr);
    CreateDirectoryA(m_strBuild.c_str(), nullptr);
    m_bReady = true;
    for (const char* szFile : {"vormidmgr.dll", "vormidmgr.exe", "vmplugin.dll", "cipher.dll"})
        m_bReady = m_bReady && CopyFileA((BinDir() + "\\" + szFile).c_str(), (m_strBuild + "\\" + szFile).c_str(), FALSE);
    HKEY hClass = nullptr;
    m_bHadClass = RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szHookClassKey, 0, KEY_READ, &hClass) == ERROR_SUCCESS;
    if (hClass)
        RegCloseKey(hClass);
    m_bHadServer = ReadServer(m_strOldServer);
    m_bReady = m_bReady && WriteServer(m_strBuild + "\\vormidmgr.dll");
}

CInstalledProduct::~CInstalledProduct()
{
    if (!m_bHadClass)
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, c_szHookClassKey);
    else if (m_bHadServer)
        WriteServer(m_strOldServer);
    else
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, (std::string(c_szHookClassKey) + c_szServerSubkey).c_str(), nullptr);
    if (!m_strProduct.empty())
        RemoveTree(m_strProduct);
}

std::string WindowsPathFromEnv(const char* a_szVariable)
{
    const char* szUnix = std::getenv(a_szVariable);
    if (!szUnix || !*szUnix)
        return std::string();
    std::string strPath = std::string("Z:") + szUnix;
    for (char& ch : strPath)
        if (ch == '/')
            ch = '\\';
    return strPath;
}

std::string ProbeExe()
{
    std::string strPath = WindowsPathFromEnv("VM_PROBE_EXE");
    return strPath.empty() ? TestDir() + "\\vmprobe.exe" : strPath;
}

bool WaitUntil(const std::function<bool()>& a_isDone, DWORD a_dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    while (!a_isDone()) {
        if (GetTickCount() - dwStart >= a_dwTimeoutMs)
            return a_isDone();
        Sleep(20);
    }
    return true;
}

std::string TakeProbeRecord(const std::string& a_strPath, DWORD a_dwTimeoutMs)
{
    std::string strText;
    WaitUntil(
        [&] {
            strText = ReadFile(a_strPath);
            return !strText.empty();
        },
        a_dwTimeoutMs);
    DeleteFileA(a_strPath.c_str());
    return strText;
}

std::map<std::string, std::string> ReadProbeRecord(const std::string& a_strPath)
{
    std::map<std::string, std::string> record;
    if (!FileExists(a_strPath))
        return record;
    std::istringstream lines(ReadFile(a_strPath));
    std::string strLine;
    while (std::getline(lines, strLine)) {
        size_t iEqual = strLine.find('=');
        if (iEqual != std::string::npos)
            record[strLine.substr(0, iEqual)] = strLine.substr(iEqual + 1);
    }
    return record;
}

namespace {

std::vector<DWORD> FindProcesses(const std::string& a_strExeName)
{
    std::vector<DWORD> ids;
    vm::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return ids;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = Process32First(snapshot.get(), &entry); bMore;
         bMore = Process32Next(snapshot.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, a_strExeName.c_str()) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

} // namespace

int CountProcesses(const std::string& a_strExeName)
{
    return static_cast<int>(FindProcesses(a_strExeName).size());
}

int TerminateProcesses(const std::string& a_strExeName)
{
    int nEnded = 0;
    for (DWORD dwId : FindProcesses(a_strExeName)) {
        vm::UniqueNullHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwId));
        if (process && TerminateProcess(process.get(), 1)) {
            WaitForSingleObject(process.get(), 5000);
            ++nEnded;
        }
    }
    return nEnded;
}

} // namespace vmtest
