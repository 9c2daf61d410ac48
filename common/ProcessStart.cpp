#include "common/ProcessStart.h"

namespace vm {

bool StartProgram(const std::wstring& a_strProgram, std::wstring a_strCommandLine, DWORD a_dwFlags,
                  const wchar_t* a_szDirectory, UniqueProcessInfo& a_process)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    return CreateProcessW(a_strProgram.c_str(), &a_strCommandLine[0], nullptr, nullptr, FALSE, a_dwFlags, nullptr,
                          a_szDirectory, &si, a_process.put()) != FALSE;
}

} // namespace vm
