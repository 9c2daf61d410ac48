// The product's per-extension control table, and the full path of the
// application it names.

#include "resolution/ApplicationPath.h"

#include "common/CommandProgram.h"
#include "common/ControlTable.h"
#include "resolution/PathHelpers.h"
#include "resolution/ShellRegistry.h"
#include "resolution/ViewerProgram.h"
#include "trace/Trace.h"

#include <cstring>

namespace resolution {

namespace {

constexpr char c_szAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

bool IsWindows9x()
{
    return (GetVersion() & 0x80000000u) != 0;
}

std::string ApplicationCommandKey(const std::string& a_strAppName, const char* a_szVerb)
{
    return "Applications\\" + a_strAppName + "\\shell\\" + a_szVerb + "\\command";
}

// A request file name that does not fit the text buffer is not cut into the
// name of another file: the fallback stays empty.
void CopyRequestFile(LPSHELLEXECUTEINFOA a_lpsei, RegistryText& a_szText)
{
    memset(a_szText, 0, sizeof(a_szText));
    const char* szFile = a_lpsei && a_lpsei->lpFile ? a_lpsei->lpFile : "";
    size_t cch = strlen(szFile);
    if (cch < c_cbRegistryText)
        memcpy(a_szText, szFile, cch + 1);
}

// The command of the application for the requested verb when it has one;
// else its "open", else its "edit" verb, else on the 9x family its App
// Paths entry. The first value read wins, whether or not it leads to an
// existing file. a_pbMachine: whether an administrator registered the
// command (the machine's classes or App Paths, not the user's own classes).
bool ReadApplicationCommand(CRequestState& a_request, RegistryText& a_szCommand, bool* a_pbMachine)
{
    const std::string& a_strAppName = a_request.m_strAppName;
    a_request.m_bVerbCommand = false;
    *a_pbMachine = true;
    if (const char* szVerb = RequestedVerbKey(a_request)) {
        std::string strVerbKey = "Applications\\" + a_strAppName + "\\shell\\" + szVerb;
        if (HasVerbCommand(HKEY_CLASSES_ROOT, strVerbKey) &&
            QueryRegistryText(HKEY_CLASSES_ROOT, (strVerbKey + "\\command").c_str(), nullptr, a_szCommand) ==
                ERROR_SUCCESS) {
            a_request.m_bVerbCommand = true;
            *a_pbMachine = vm::IsMachineClassesValue((strVerbKey + "\\command").c_str());
            TraceSwitchable("[CLxShellExt::GetExtControlApplicationPath] case : Applications -> %s, application[%s]",
                            szVerb, a_strAppName.c_str());
            return true;
        }
    }
    std::string strKey = ApplicationCommandKey(a_strAppName, "open");
    if (QueryRegistryText(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, a_szCommand) == ERROR_SUCCESS) {
        *a_pbMachine = vm::IsMachineClassesValue(strKey.c_str());
        return true;
    }
    strKey = ApplicationCommandKey(a_strAppName, "edit");
    if (QueryRegistryText(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, a_szCommand) == ERROR_SUCCESS) {
        *a_pbMachine = vm::IsMachineClassesValue(strKey.c_str());
        return true;
    }
    if (IsWindows9x()) {
        strKey = c_szAppPathsKey + a_strAppName;
        TraceSwitchable("[CLxShellExt::GetExtControlApplicationPath] before QueryRegistryValue(HKEY_LOCAL_MACHINE, %s)",
                        strKey.c_str());
        if (QueryRegistryText(HKEY_LOCAL_MACHINE, strKey.c_str(), nullptr, a_szCommand) == ERROR_SUCCESS)
            return true;
    }
    TraceSwitchable("[CLxShellExt::GetExtControlApplicationPath] not existed reg key [%s]", strKey.c_str());
    return false;
}

} // namespace

bool GetExtensionControlType(CRequestState& a_request)
{
    std::string strKey = std::string(vm::c_szControlTableKey) + "\\" + a_request.m_strExt;
    DWORD dwControlType = 0;
    DWORD cbControlType = sizeof(dwControlType);
    CLxShellRegistry registry;
    if (registry.QueryRegistryValue(HKEY_LOCAL_MACHINE, strKey.c_str(), vm::c_szControlTypeValue,
                                    reinterpret_cast<BYTE*>(&dwControlType), &cbControlType) != ERROR_SUCCESS) {
        TraceAlways("[CLxShellExt::GetExtensionControlType] Is not control type [%s]", a_request.m_strExt.c_str());
        return false;
    }
    a_request.m_uControlType = dwControlType;
    if (a_request.m_uControlType == 0)
        return false;

    RegistryText szApplication;
    if (QueryRegistryText(HKEY_LOCAL_MACHINE, strKey.c_str(), vm::c_szControlAppValue, szApplication) !=
        ERROR_SUCCESS) {
        TraceAlways("[CLxShellExt::GetExtensionControlType] not existed control application,  ext[%s]",
                    a_request.m_strExt.c_str());
        return false;
    }
    a_request.m_strAppName = szApplication;
    TraceAlways("[CLxShellExt::GetExtensionControlType] ControlType[%d], Application[%s]",
                static_cast<int>(a_request.m_uControlType), a_request.m_strAppName.c_str());
    return GetExtControlApplicationPath(a_request);
}

// The application's name becomes the long file name of the program its
// command starts, which is what the policy names; the image viewer's name
// stays, as its rule starts the viewer by the command's whole text.
bool GetExtControlApplicationPath(CRequestState& a_request)
{
    RegistryText szCommand;
    RegistryText szPath = {};
    a_request.m_strCommandArguments.clear();
    a_request.m_strCommandRest.clear();
    a_request.m_bMachineCommand = false;
    bool bMachine = false;
    a_request.m_bAppPathFromRequest = !ReadApplicationCommand(a_request, szCommand, &bMachine);
    if (!a_request.m_bAppPathFromRequest && lstrcmpiA(a_request.m_strAppName.c_str(), c_szImageViewerName) != 0) {
        std::string strName = a_request.m_strAppName;
        if (!SetApplicationFromCommand(a_request, szCommand))
            a_request.m_strAppName = strName;
        a_request.m_bMachineCommand = bMachine;
    } else {
        if (a_request.m_bAppPathFromRequest)
            CopyRequestFile(a_request.m_lpsei, szPath);
        else
            ParseCommandPath(szCommand, szPath, c_cbRegistryText);
        a_request.m_strAppPath = GetLongFilePathName(szPath).value_or(szPath);
    }
    TraceSwitchable("[CLxShellExt::GetExtControlApplicationPath] m_strAppPath[%s]", a_request.m_strAppPath.c_str());
    return true;
}

} // namespace resolution
