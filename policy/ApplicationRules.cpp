#include "policy/ApplicationRules.h"

#include "common/ModuleIdentity.h"
#include "common/OfficeAddins.h"
#include "companions/cipher/cipher.h"
#include "office/OfficeAddins.h"
#include "policy/PolicyCache.h"
#include "resolution/PathHelpers.h"
#include "resolution/ViewerProgram.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

const vm::COfficeAddin* FindOfficeAddin(const std::string& a_strAppName)
{
    for (const vm::COfficeAddin& addin : vm::c_officeAddins)
        if (lstrcmpiA(a_strAppName.c_str(), addin.m_szProgram) == 0)
            return &addin;
    return nullptr;
}

// The add-in module for an Office application of a version that enforces the
// rules through the product's add-in (Office 2000, 9.0, and later); null for
// any other application, an older Office, or a version that cannot be read.
const char* AddinOfVersion9OrLater(const CRequestState& a_request)
{
    const vm::COfficeAddin* pAddin = FindOfficeAddin(a_request.m_strAppName);
    if (!pAddin)
        return nullptr;
    VS_FIXEDFILEINFO info{};
    if (!policy::GetFixedFileInfo(a_request.m_strAppPath.c_str(), &info))
        return nullptr;
    return HIWORD(info.dwFileVersionMS) >= pAddin->m_wFirstOfficeVersion ? pAddin->m_szModule : nullptr;
}

// a_szName beside this module. An unknown module path gives false: a bare
// name would otherwise be looked for in the current directory.
bool BuildPathBesideModule(char (&a_szPath)[MAX_PATH], const char* a_szName)
{
    a_szPath[0] = '\0';
    std::string strModule = GetOwnModulePath();
    if (strModule.empty() || strModule.size() >= MAX_PATH)
        return false;
    memcpy(a_szPath, strModule.c_str(), strModule.size() + 1);
    ReplaceFileName(a_szPath, a_szName);
    return a_szPath[0] != '\0';
}

// Copies a_szText into a 260-byte working buffer; a longer text is refused
// rather than cut, so a cut name can never be taken for another one.
bool CopyBounded(char (&a_szOut)[MAX_PATH], const char* a_szText)
{
    size_t cch = strlen(a_szText);
    if (cch >= MAX_PATH) {
        a_szOut[0] = '\0';
        return false;
    }
    memcpy(a_szOut, a_szText, cch + 1);
    return true;
}

// Lowers A to Z in place, leaving the trail bytes of double-byte characters
// alone: in a double-byte code page they can fall in that range.
void LowerAsciiLetters(char* a_szText)
{
    for (char* p = a_szText; *p; p += NextCharacter(p) - p) {
        if (*p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p - 'A' + 'a');
    }
}

// The next "|" at or after a_pos (a character boundary), or the end of the
// text. Trail bytes are stepped over: in code page 932 a "|" byte can be the
// second half of a character.
size_t FindSeparator(const char* a_szText, size_t a_cch, size_t a_pos)
{
    size_t pos = a_pos;
    while (pos < a_cch && a_szText[pos] != '|')
        pos += (IsDBCSLeadByte(static_cast<BYTE>(a_szText[pos])) && pos + 1 < a_cch) ? 2 : 1;
    return pos < a_cch ? pos : a_cch;
}

} // namespace

namespace policy {

bool GetFixedFileInfo(const char* a_szPath, VS_FIXEDFILEINFO* a_pInfo)
{
    if (!a_szPath || !a_pInfo)
        return false;
    DWORD dwHandle = 0;
    DWORD cbBlock = GetFileVersionInfoSizeA(a_szPath, &dwHandle);
    if (cbBlock == 0)
        return false;
    std::unique_ptr<BYTE[]> pBlock(new (std::nothrow) BYTE[cbBlock]);
    if (!pBlock || !GetFileVersionInfoA(a_szPath, 0, cbBlock, pBlock.get()))
        return false;
    void* pRoot = nullptr;
    UINT cbRoot = 0;
    char szRoot[] = "\\";
    if (!VerQueryValueA(pBlock.get(), szRoot, &pRoot, &cbRoot) || !pRoot ||
        cbRoot < sizeof(VS_FIXEDFILEINFO))
        return false;
    memcpy(a_pInfo, pRoot, sizeof(VS_FIXEDFILEINFO));
    return true;
}

int IsExceptionApplication(const CRequestState& a_request, ImageViewerPlan& a_plan)
{
    a_plan = ImageViewerPlan();
    if (AddinOfVersion9OrLater(a_request))
        return SKIPPED_INJECTION;
    if (lstrcmpiA(a_request.m_strAppName.c_str(), c_szImageViewerName) != 0)
        return EXECUTE_INJECTION;

    TraceAlways("test");
    const LPSHELLEXECUTEINFOA lpsei = a_request.m_lpsei;
    a_plan.m_strDocument = lpsei && lpsei->lpFile ? lpsei->lpFile : "";
    a_plan.m_strViewer = a_request.m_strAppPath;
    a_plan.m_bViewerFromRequest = a_request.m_bAppPathFromRequest;
    a_plan.m_strRealDocument = a_request.RequestFile();
    a_plan.m_bStart = true;
    TraceAlways("test command[%s]", (a_plan.m_strViewer + " " + a_plan.m_strDocument).c_str());
    return EXECUTE_EXCEPTION;
}

int IsRegisteredApplication(CRequestState& a_request, const PolicySource& a_source, bool a_bMayWrite)
{
    if (const char* szAddin = AddinOfVersion9OrLater(a_request)) {
        char szAddinPath[MAX_PATH];
        if (!BuildPathBesideModule(szAddinPath, szAddin) || !PathFileExistsA(szAddinPath))
            return 2;
        // Straight to the debugger, whatever the trace switches say.
        TraceFixed("IsRegisteredApplication()\n");
        if (a_bMayWrite)
            office::RegisterOfficeAddins();
    }

    std::shared_ptr<CCCF> pCcf = CurrentPolicy(a_source);
    CCCF& ccf = *pCcf;
    if (ccf.CheckCCFValidity() != 0) {
        TraceAlways("[CLxShellExt::IsRegisteredApplication] ccf is invalid!!");
        return 2;
    }
    const char* szPlugin = ccf.GetField(a_request.m_strAppName.c_str());
    if (!szPlugin) {
        TraceAlways("[CLxShellExt::IsRegisteredApplication] ccf -> not registered application[%s]",
                    a_request.m_strAppName.c_str());
        return 0;
    }
    if (szPlugin[0] == ' ' || szPlugin[0] == '\0')
        return 0;

    char szPluginName[MAX_PATH];
    if (!CopyBounded(szPluginName, szPlugin)) {
        // No plug-in can be named by it: answered as a missing plug-in, and
        // an earlier request's plug-in must not be handed on in its place.
        a_request.m_strInjectionDll.clear();
        TraceAlways("[CLxShellExt::IsRegisteredApplication] m_strInjectionDll is not existed[%s]",
                    szPlugin);
        return 2;
    }
    const char* szExcludeList = ccf.GetField("ExcludeAppList");
    const char* szPmiList = ccf.GetField("VormidpmiAppList");
    if (szExcludeList && IsExcludeApplication(a_request.m_strAppName, szExcludeList, szPmiList)) {
        TraceLine("Exclude App:%s", a_request.m_strAppName.c_str());
        return 0;
    }

    char szPluginPath[MAX_PATH];
    if (BuildPathBesideModule(szPluginPath, szPluginName)) {
        std::optional<std::string> strLong = resolution::GetLongFilePathName(szPluginPath);
        a_request.m_strInjectionDll = strLong && !strLong->empty() ? *strLong : std::string(szPluginPath);
    } else {
        a_request.m_strInjectionDll.clear();
    }
    a_request.m_bInjectionDllChosen = true;
    TraceAlways("[CLxShellExt::IsRegisteredApplication] m_strInjectionDll[%s]",
                a_request.m_strInjectionDll.c_str());

    if (!a_request.m_strInjectionDll.empty() && PathFileExistsA(a_request.m_strInjectionDll.c_str()))
        return 1;
    TraceAlways("[CLxShellExt::IsRegisteredApplication] m_strInjectionDll is not existed[%s]",
                a_request.m_strInjectionDll.c_str());
    return 2;
}

bool IsExcludeApplication(const std::string& a_strAppName, const char* a_szExcludeList, const char* a_szPmiList)
{
    if (!a_szExcludeList || !a_szPmiList)
        return false;

    char szList[MAX_PATH];
    if (!CopyBounded(szList, a_szExcludeList)) {
        // Refused rather than cut: a list we cannot read whole excludes
        // nothing, and the application stays under control.
        TraceSwitchable("[CLxShellExt::IsExcludeApplication] applist too long (%d), ignored\n",
                        static_cast<int>(strlen(a_szExcludeList)));
        return false;
    }
    LowerAsciiLetters(szList);
    size_t cchList = strlen(szList);
    TraceSwitchable("[CLxShellExt::IsExcludeApplication] strAppName[%s], %s", szList,
                    a_strAppName.c_str());
    TraceSwitchable("[CLxShellExt::IsExcludeApplication]applist.size=%d\n",
                    static_cast<int>(cchList));
    if (cchList == 0)
        return false;

    size_t pos = 0;
    while (pos < cchList) {
        size_t sep = FindSeparator(szList, cchList, pos);
        std::string strExcludeAppName(szList + pos, sep - pos);
        TraceSwitchable(
            "[CLxShellExt::IsExcludeApplication] strExcludeAppName=%s, m_strAppName=%s\n",
            strExcludeAppName.c_str(), a_strAppName.c_str());
        // An empty item names nothing, not even an application without a name.
        if (!strExcludeAppName.empty() &&
            lstrcmpiA(strExcludeAppName.c_str(), a_strAppName.c_str()) == 0) {
            if (StrStrIA(a_szPmiList, a_strAppName.c_str()))
                return true;
            TraceSwitchable("%s is exclude app and not pmi app. so return false\n",
                            a_strAppName.c_str());
            return false;
        }
        pos = sep + 1;
    }
    return false;
}

} // namespace policy
