#include "tests/support/CompanionsSupport.h"

#include "common/Handle.h"
#include "tests/support/TestPaths.h"

#include <tlhelp32.h>

#include <cstdlib>
#include <sstream>
#include <vector>

namespace vmtest {

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
