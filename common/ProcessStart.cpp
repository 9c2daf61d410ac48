#include "common/ProcessStart.h"

#include "common/FileIdentity.h"

#include <shellapi.h>

namespace vm {
namespace {

// The longest command line a process can be given, in characters.
constexpr DWORD c_cchCommandLineMax = 32767;

} // namespace

bool StartProgram(const std::wstring& a_strProgram, std::wstring a_strCommandLine, DWORD a_dwFlags,
                  const wchar_t* a_szDirectory, UniqueProcessInfo& a_process)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    return CreateProcessW(a_strProgram.c_str(), &a_strCommandLine[0], nullptr, nullptr, FALSE, a_dwFlags, nullptr,
                          a_szDirectory, &si, a_process.put()) != FALSE;
}

int StartErrorCode(DWORD a_dwError)
{
    switch (a_dwError) {
    case ERROR_FILE_NOT_FOUND:
        return SE_ERR_FNF;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return SE_ERR_PNF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return SE_ERR_OOM;
    case ERROR_BAD_FORMAT:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return ERROR_BAD_FORMAT; // the shell's code for an invalid program
    case ERROR_SHARING_VIOLATION:
        return SE_ERR_SHARE;
    case ERROR_DLL_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
        return SE_ERR_DLLNOTFOUND;
    default:
        // Refused for a reason the shell has no closer code for.
        return SE_ERR_ACCESSDENIED;
    }
}

bool ExpandEnvironment(const std::wstring& a_strText, std::wstring& a_strExpanded)
{
    if (a_strText.find(L'%') == std::wstring::npos) {
        a_strExpanded = a_strText;
        return true;
    }
    std::wstring strBuffer(c_cchCommandLineMax + 1, L'\0');
    DWORD cch = ExpandEnvironmentStringsW(a_strText.c_str(), &strBuffer[0], static_cast<DWORD>(strBuffer.size()));
    if (cch == 0 || cch > strBuffer.size())
        return false;
    strBuffer.resize(lstrlenW(strBuffer.c_str()));
    a_strExpanded = std::move(strBuffer);
    return true;
}

bool ExpandEnvironment(const std::string& a_strText, std::string& a_strExpanded)
{
    if (a_strText.find('%') == std::string::npos) {
        a_strExpanded = a_strText;
        return true;
    }
    std::wstring strExpanded;
    if (!ExpandEnvironment(vm::WideFromAnsi(a_strText), strExpanded))
        return false;
    a_strExpanded = vm::AnsiRendering(strExpanded);
    return true;
}

} // namespace vm
