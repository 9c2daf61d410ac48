#include "tests/support/ChildProcess.h"

#include "common/FileIdentity.h"
#include "common/Handle.h"

#include <algorithm>

namespace vmtest {

bool StartChild(const std::wstring& a_strExe, std::wstring a_strCommandLine, PROCESS_INFORMATION* a_pInfo,
                const ChildOptions& a_options)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (a_options.m_hOutput || a_options.m_hInput) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = a_options.m_hInput;
        si.hStdOutput = a_options.m_hOutput;
        si.hStdError = a_options.m_hError;
    }
    std::wstring strDir = vm::WideFromAnsi(a_options.m_strDir);
    return CreateProcessW(a_strExe.empty() ? nullptr : a_strExe.c_str(), &a_strCommandLine[0], nullptr, nullptr,
                          a_options.m_bInherit || a_options.m_hOutput || a_options.m_hInput, a_options.m_dwFlags, nullptr,
                          strDir.empty() ? nullptr : strDir.c_str(), &si, a_pInfo) != FALSE;
}

bool StartChild(const std::string& a_strExe, const std::string& a_strCommandLine, PROCESS_INFORMATION* a_pInfo,
                const ChildOptions& a_options)
{
    return StartChild(vm::WideFromAnsi(a_strExe), vm::WideFromAnsi(a_strCommandLine), a_pInfo, a_options);
}

DWORD RunChild(const std::string& a_strExe, const std::string& a_strCommandLine, DWORD a_dwMs)
{
    vm::UniqueProcessInfo process;
    if (!StartChild(a_strExe, a_strCommandLine, process.put()))
        return c_dwChildNotStarted;
    WaitForSingleObject(process.get().hProcess, a_dwMs);
    DWORD dwExit = c_dwChildNotStarted;
    GetExitCodeProcess(process.get().hProcess, &dwExit);
    return dwExit;
}

std::string QuoteArgument(const std::string& a_strArg)
{
    if (!a_strArg.empty() && a_strArg.find_first_of(" \t\"") == std::string::npos)
        return a_strArg;
    // Backslashes count only before a quote: doubled there, kept elsewhere.
    std::string strQuoted = "\"";
    size_t cBackslashes = 0;
    for (char ch : a_strArg) {
        if (ch == '\\') {
            ++cBackslashes;
            continue;
        }
        strQuoted.append(ch == '"' ? cBackslashes * 2 + 1 : cBackslashes, '\\');
        cBackslashes = 0;
        strQuoted += ch;
    }
    strQuoted.append(cBackslashes * 2, '\\');
    strQuoted += '"';
    return strQuoted;
}

std::vector<std::string> SplitLines(const std::string& a_strText)
{
    std::vector<std::string> lines;
    size_t iStart = 0;
    while (iStart < a_strText.size()) {
        size_t iEnd = a_strText.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = a_strText.size();
        std::string strLine = a_strText.substr(iStart, iEnd - iStart);
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        lines.push_back(strLine);
        iStart = iEnd + 1;
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& a_lines)
{
    std::string strText;
    for (const std::string& strLine : a_lines)
        strText += "  | " + strLine + "\n";
    return strText;
}

CToolChild::~CToolChild()
{
    if (m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, 10000);
    }
    StopPump();
    for (HANDLE h : {m_hOutRead, m_hErrRead, m_pi.hThread, m_pi.hProcess})
        if (h)
            CloseHandle(h);
}

bool CToolChild::Start(const std::string& a_strExe, const std::vector<std::string>& a_args,
                       const std::wstring& a_strWideTail)
{
    m_strCommand = QuoteArgument(a_strExe);
    for (const std::string& strArg : a_args)
        m_strCommand += " " + QuoteArgument(strArg);
    std::wstring strCommand = vm::WideFromAnsi(m_strCommand);
    if (!a_strWideTail.empty()) {
        strCommand += L" " + a_strWideTail;
        m_strCommand += " " + vm::AnsiRendering(a_strWideTail);
    }

    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE hOutWrite = nullptr;
    HANDLE hErrWrite = nullptr;
    if (!CreatePipe(&m_hOutRead, &hOutWrite, &sa, 0) || !CreatePipe(&m_hErrRead, &hErrWrite, &sa, 0))
        return false;
    // Only the write ends go to the child.
    SetHandleInformation(m_hOutRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(m_hErrRead, HANDLE_FLAG_INHERIT, 0);

    ChildOptions options;
    options.m_hOutput = hOutWrite;
    options.m_hError = hErrWrite;
    bool bStarted = StartChild(vm::WideFromAnsi(a_strExe), strCommand, &m_pi, options);
    DWORD dwError = GetLastError();
    CloseHandle(hOutWrite);
    CloseHandle(hErrWrite);
    if (bStarted)
        m_pump = std::thread(&CToolChild::Pump, this);
    SetLastError(dwError);
    return bStarted;
}

void CToolChild::Pump()
{
    for (;;) {
        // Seen before the pass: everything the child wrote is in the pipes
        // once it has ended, so one pass after that takes the rest.
        bool bEnded = m_bEnded;
        bool bRead = Drain(m_hOutRead, &m_strOut);
        bRead = Drain(m_hErrRead, &m_strErr) || bRead;
        if (bEnded && !bRead)
            return;
        if (!bRead)
            Sleep(10);
    }
}

bool CToolChild::Drain(HANDLE a_hPipe, std::string* a_pstrText)
{
    DWORD cbAvailable = 0;
    if (!PeekNamedPipe(a_hPipe, nullptr, 0, nullptr, &cbAvailable, nullptr) || cbAvailable == 0)
        return false;
    char buffer[4096];
    DWORD cbRead = 0;
    if (!ReadFile(a_hPipe, buffer, std::min<DWORD>(cbAvailable, sizeof(buffer)), &cbRead, nullptr) || cbRead == 0)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    a_pstrText->append(buffer, cbRead);
    return true;
}

void CToolChild::StopPump()
{
    m_bEnded = true;
    if (m_pump.joinable())
        m_pump.join();
}

bool CToolChild::Wait(DWORD a_dwMs)
{
    if (!m_pi.hProcess || WaitForSingleObject(m_pi.hProcess, a_dwMs) != WAIT_OBJECT_0)
        return false;
    StopPump();
    return true;
}

bool CToolChild::WaitForErrorText(const std::string& a_strText, DWORD a_dwMs)
{
    DWORD dwStart = GetTickCount();
    do {
        if (Err().find(a_strText) != std::string::npos)
            return true;
        Sleep(20);
    } while (GetTickCount() - dwStart < a_dwMs);
    return false;
}

DWORD CToolChild::ExitCode() const
{
    DWORD dwExit = 0xdeadbeef;
    GetExitCodeProcess(m_pi.hProcess, &dwExit);
    return dwExit;
}

std::string CToolChild::Out() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strOut;
}

std::string CToolChild::Err() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strErr;
}

std::vector<std::string> CToolChild::OutLines() const
{
    return SplitLines(Out());
}

CToolRun RunTool(const std::string& a_strExe, const std::vector<std::string>& a_args, DWORD a_dwMs,
                 const std::wstring& a_strWideTail)
{
    CToolRun run;
    CToolChild child;
    if (!child.Start(a_strExe, a_args, a_strWideTail))
        return run;
    run.m_strCommand = child.CommandLine();
    run.m_dwPid = child.Pid();
    run.m_bEnded = child.Wait(a_dwMs);
    run.m_dwExit = child.ExitCode();
    run.m_lines = child.OutLines();
    run.m_strErr = child.Err();
    return run;
}

} // namespace vmtest
