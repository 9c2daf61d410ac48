#include "companions/launcher/LauncherUsage.h"

#include "common/FileIdentity.h"
#include "common/LauncherExit.h"

#include <windows.h>

#include <string>

namespace vmlaunch {

namespace {

constexpr char c_szUsage[] =
    "usage: vormidmgr <application command>/D:<plug-in path>[/D:<working directory>]\n"
    "       vormidmgr --help | --version\n"
    "\n"
    "The launcher of the shell-execute hook vormidmgr.dll, which starts it for a\n"
    "controlled request: it starts the application command with the enforcement\n"
    "plug-in loaded before the application's first instruction, once the program\n"
    "has passed the trust rule (docs/launcher-and-trust.md). It is not meant to be\n"
    "started by hand. Why it refused is written to the debugger output\n"
    "(tracewatch) and, as event 201, to the Application log.\n"
    "\n"
    "Exit codes (and what the hook answers the shell with):\n";

// The window-subsystem launcher has a console only when it was given one.
HANDLE OutputHandle()
{
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    if (hOut && hOut != INVALID_HANDLE_VALUE)
        return hOut;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return nullptr;
    hOut = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return hOut == INVALID_HANDLE_VALUE ? nullptr : hOut;
}

void Print(const std::string& a_strText)
{
    HANDLE hOut = OutputHandle();
    DWORD cbWritten = 0;
    if (hOut)
        WriteFile(hOut, a_strText.data(), static_cast<DWORD>(a_strText.size()), &cbWritten, nullptr);
}

std::string ExitCodes()
{
    std::string strCodes;
    for (const vm::LauncherExitRow& row : vm::c_launcherExits)
        strCodes += "  " + std::to_string(row.m_dwExit) + "  " + row.m_szReason + " (hInstApp " +
                    std::to_string(row.m_nShellCode) + ")\n";
    return strCodes;
}

} // namespace

bool AnswerUsageRequest(const std::wstring& a_strArguments)
{
    size_t iFirst = a_strArguments.find_first_not_of(L" \t");
    size_t iLast = a_strArguments.find_last_not_of(L" \t");
    std::wstring strArgument =
        iFirst == std::wstring::npos ? std::wstring() : a_strArguments.substr(iFirst, iLast - iFirst + 1);
    if (strArgument == L"--help") {
        Print(c_szUsage + ExitCodes());
        return true;
    }
    if (strArgument == L"--version") {
        Print(std::string("vormidmgr ") + VM_PRODUCT_VERSION + "\n");
        return true;
    }
    return false;
}

} // namespace vmlaunch
