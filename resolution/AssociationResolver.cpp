// Which executable opens the requested document: the control table's
// application for a controlled request, else the request's class key, else
// the user's choice, else the machine-wide association.

#include "resolution/ApplicationPath.h"

#include "common/CommandProgram.h"
#include "resolution/PathHelpers.h"
#include "resolution/ShellRegistry.h"
#include "trace/Trace.h"

#include <shlwapi.h>

namespace resolution {

namespace {

constexpr char c_szUserFileExtsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
constexpr char c_szAcadDdeKey[] = "AutoCAD.Drawing.15\\shell\\open\\ddeexec\\Application";
constexpr char c_szAcadDdeServer[] = "acad";

// Walks "shell", then a_szVerb when given, else "open" (else "edit"), then
// a_szLast from the class key and reads the default value of the key
// reached. A step that fails leaves the walk where it was; the class key
// itself stays the shell's.
void ReadClassKeyVerbValue(HKEY a_hClassKey, const char* a_szVerb, const char* a_szLast, RegistryText& a_szText)
{
    CLxShellRegistry walk;
    a_szText[0] = '\0';
    if (!walk.Open(a_hClassKey, nullptr))
        return;
    walk.SubOpen("shell");
    if (a_szVerb)
        walk.SubOpen(a_szVerb);
    else if (!walk.SubOpen("open"))
        walk.SubOpen("edit");
    walk.SubOpen(a_szLast);
    QueryDataText(walk, nullptr, a_szText);
    walk.Close();
}

std::string ParsedCommandPath(const char* a_szCommand)
{
    RegistryText szPath = {};
    ParseCommandPath(a_szCommand, szPath, c_cbRegistryText);
    return szPath;
}

bool ClassKeyRoute(CRequestState& a_request, HKEY a_hClassKey)
{
    const char* szVerb = RequestedVerbKey(a_request);
    if (szVerb && !HasVerbCommand(a_hClassKey, std::string("shell\\") + szVerb))
        szVerb = nullptr;
    RegistryText szCommand;
    ReadClassKeyVerbValue(a_hClassKey, szVerb, "command", szCommand);
    SetApplicationFromCommand(a_request, szCommand);
    a_request.m_bVerbCommand = szVerb != nullptr;

    RegistryText szDde;
    ReadClassKeyVerbValue(a_hClassKey, szVerb, "ddeexec", szDde);
    if (szDde[0]) {
        a_request.m_bDDEOpen = true;
        TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] ddeexec[%s]", szDde);
    }
    if (szVerb)
        TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] case : hkeyClass -> %s, extension[%s] -> "
                        "application[%s]",
                        szVerb, a_request.m_strExt.c_str(), a_request.m_strAppPath.c_str());
    TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] file extension[%s], applicaton[%s]",
                    a_request.m_strExt.c_str(), a_request.m_strAppPath.c_str());
    return true;
}

bool PerUserRoute(CRequestState& a_request)
{
    std::string strKey = c_szUserFileExtsKey + a_request.m_strExt;
    RegistryText szApplication;
    if (QueryRegistryText(HKEY_CURRENT_USER, strKey.c_str(), "Application", szApplication) != ERROR_SUCCESS)
        return false;
    a_request.m_strAppName = szApplication;
    TraceSwitchable("[CLxShellExt::GetExtOpenApplicationPath] case : HKCU, extension[%s] -> application[%s]",
                    a_request.m_strExt.c_str(), a_request.m_strAppName.c_str());
    GetExtControlApplicationPath(a_request);
    return true;
}

void ReadOpenDdeServer(CRequestState& a_request, const std::string& a_strDdeKey)
{
    RegistryText szServer;
    if (QueryRegistryText(HKEY_CLASSES_ROOT, a_strDdeKey.c_str(), nullptr, szServer) == ERROR_SUCCESS &&
        szServer[0]) {
        a_request.m_bDDEOpen = true;
        TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] ddeexec[%s]", szServer);
    }
}

// The drawing program's association is known to lose its DDE server name,
// after which documents open in a second instance: the name is put back.
void RepairAcadDde(CRequestState& a_request, const std::string& a_strDdeKey, bool a_bMayWrite)
{
    if (a_request.m_bDDEOpen || lstrcmpiA(a_strDdeKey.c_str(), c_szAcadDdeKey) != 0 || !a_bMayWrite)
        return;
    CRegistryWriter writer;
    LONG lStatus = writer.SetReg(HKEY_CLASSES_ROOT, c_szAcadDdeKey, nullptr, REG_SZ,
                                 reinterpret_cast<const BYTE*>(c_szAcadDdeServer),
                                 sizeof(c_szAcadDdeServer), true);
    TraceAlways("[CLxShellExt::GetApplicationPathFromReg] => %d=SetReg(%s, %s)", static_cast<int>(lStatus),
                c_szAcadDdeKey, c_szAcadDdeServer);
    a_request.m_bDDEOpen = true;
    TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] ddeexec[NULL], dde true setting");
}

bool ProgIdVerbRoute(CRequestState& a_request, const std::string& a_strKey, const char* a_szVerb)
{
    RegistryText szCommand;
    if (QueryRegistryText(HKEY_CLASSES_ROOT, a_strKey.c_str(), nullptr, szCommand) != ERROR_SUCCESS)
        return false;
    SetApplicationFromCommand(a_request, szCommand);
    a_request.m_bMachineCommand = vm::IsMachineClassesValue(a_strKey.c_str());
    TraceSwitchable("[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> %s, extension[%s] -> application[%s]",
                    a_szVerb, a_request.m_strExt.c_str(), a_request.m_strAppPath.c_str());
    return true;
}

bool MachineWideRoute(CRequestState& a_request, bool a_bMayWrite)
{
    RegistryText szProgId;
    if (QueryRegistryText(HKEY_CLASSES_ROOT, a_request.m_strExt.c_str(), nullptr, szProgId) != ERROR_SUCCESS) {
        TraceSwitchable("[CLxShellExt::GetExtOpenApplicationPath] -> not registered extension, ext[%s]",
                        a_request.m_strExt.c_str());
        return false;
    }
    std::string strProgId = szProgId;
    // The requested verb's own command, when the type has one.
    if (const char* szVerb = RequestedVerbKey(a_request)) {
        std::string strVerbKey = strProgId + "\\shell\\" + szVerb;
        if (HasVerbCommand(HKEY_CLASSES_ROOT, strVerbKey) &&
            ProgIdVerbRoute(a_request, strVerbKey + "\\command", szVerb)) {
            a_request.m_bVerbCommand = true;
            ReadOpenDdeServer(a_request, strVerbKey + "\\ddeexec\\Application");
            return true;
        }
    }
    std::string strKey = strProgId + "\\shell\\open\\command";
    std::string strDdeKey = strProgId + "\\shell\\open\\ddeexec\\Application";
    if (ProgIdVerbRoute(a_request, strKey, "open")) {
        ReadOpenDdeServer(a_request, strDdeKey);
        RepairAcadDde(a_request, strDdeKey, a_bMayWrite);
        return true;
    }
    strKey = strProgId + "\\shell\\edit\\command";
    if (ProgIdVerbRoute(a_request, strKey, "edit"))
        return true;
    strKey = strProgId + "\\shell\\Read\\command";
    if (ProgIdVerbRoute(a_request, strKey, "Read"))
        return true;
    TraceSwitchable("[CLxShellExt::GetExtOpenApplicationPath] -> not registered application, key[%s]",
                    strKey.c_str());
    return false;
}

} // namespace

const char* RequestedVerbKey(const CRequestState& a_request)
{
    const std::string& strVerb = a_request.m_strVerb;
    // A backslash would lead the look-up to another key than the verb's.
    if (strVerb.empty() || strVerb.size() >= c_cbRegistryText || strVerb.find('\\') != std::string::npos)
        return nullptr;
    return strVerb.c_str();
}

// Looked up without the walk's failure traces: a type without a command for
// the verb is the ordinary case.
bool HasVerbCommand(HKEY a_hRoot, const std::string& a_strVerbKey)
{
    vm::UniqueKey key;
    std::string strKey = a_strVerbKey + "\\command";
    return RegOpenKeyExA(a_hRoot, strKey.c_str(), 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

bool IsControlledRequest(const CRequestState& a_request)
{
    bool bOpenDocument = a_request.m_uOperation == OPERATION_OPEN_DOCUMENT;
    switch (a_request.m_uControlType) {
    case 4:
        return true;
    case 3:
        return bOpenDocument || a_request.m_bAcapFile;
    case 2:
        return a_request.m_bAcapFile;
    case 1:
        return bOpenDocument && a_request.m_bAcapFile;
    default:
        return false;
    }
}

// The parser's reading of the command stays the answer only when the command
// names no existing program. Its short (8.3) form is never the name: the
// policy names programs by their long names. The parser still runs first, so
// the traces of its expansion are written as before.
bool SetApplicationFromCommand(CRequestState& a_request, const char* a_szCommand)
{
    const char* szCommand = a_szCommand ? a_szCommand : "";
    a_request.m_bAppPathFromRequest = false;
    std::string strPath = ParsedCommandPath(szCommand);
    vm::CommandProgram program = vm::FindCommandProgram(szCommand, false);
    a_request.m_strCommandArguments = program.m_strArguments;
    a_request.m_strCommandRest = program.m_strRest;
    a_request.m_bMachineCommand = false;
    if (!program.m_strProgram.empty())
        strPath = program.m_strProgram;
    a_request.m_strAppPath = GetLongFilePathName(strPath.c_str()).value_or(strPath);
    a_request.m_strAppName = PathFindFileNameA(a_request.m_strAppPath.c_str());
    return !program.m_strProgram.empty();
}

bool GetApplicationPathFromReg(CRequestState& a_request, bool a_bControl, bool a_bMayWrite)
{
    TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] a_bControl[%d], m_bAcapFile[%d], m_uControlType[%d]",
                    a_bControl ? 1 : 0, a_request.m_bAcapFile ? 1 : 0, static_cast<int>(a_request.m_uControlType));
    if (a_bControl && IsControlledRequest(a_request)) {
        TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] [%s] is Lumidex control type", a_request.m_strExt.c_str());
        return true;
    }

    a_request.m_bVerbCommand = false;
    HKEY hClassKey = a_request.m_lpsei ? a_request.m_lpsei->hkeyClass : nullptr;
    CLxShellRegistry classKey;
    bool bOpened = classKey.Open(hClassKey, nullptr);
    TraceSwitchable("[CLxShellExt::GetApplicationPathFromReg] open hkeyClass(%p) -> %s",
                    static_cast<void*>(hClassKey), bOpened ? "opened" : "not opened");
    classKey.Close();
    if (bOpened && hClassKey)
        return ClassKeyRoute(a_request, hClassKey);
    if (PerUserRoute(a_request))
        return true;
    return MachineWideRoute(a_request, a_bMayWrite);
}

} // namespace resolution
