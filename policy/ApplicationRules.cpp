// Which applications are controlled, which are exceptions, and where their
// enforcement plug-in lies.

#include "decision/LxShellExt.h"
#include "common/OfficeAddins.h"
#include "companions/cipher/cipher.h"
#include "common/ModuleIdentity.h"
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
const char* AddinOfVersion9OrLater(CLxShellExt& a_ext)
{
    const vm::COfficeAddin* pAddin = FindOfficeAddin(a_ext.m_strAppName);
    if (!pAddin)
        return nullptr;
    VS_FIXEDFILEINFO info{};
    if (!a_ext.GetFixedFileInfo(a_ext.m_strAppPath.c_str(), &info))
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

bool CLxShellExt::GetFixedFileInfo(const char* a_szPath, VS_FIXEDFILEINFO* a_pInfo)
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

int CLxShellExt::IsExceptionApplication()
{
    if (AddinOfVersion9OrLater(*this))
        return SKIPPED_INJECTION;
    if (lstrcmpiA(m_strAppName.c_str(), c_szImageViewerName) != 0)
        return EXECUTE_INJECTION;

    TraceAlways("test");
    const char* szFile = m_lpsei && m_lpsei->lpFile ? m_lpsei->lpFile : "";
    std::string strCommand = m_strAppPath + " " + szFile;
    TraceAlways("test command[%s]", strCommand.c_str());
    m_nStartError = StartImageViewer();
    return EXECUTE_EXCEPTION;
}

int CLxShellExt::IsRegisteredApplication()
{
    if (const char* szAddin = AddinOfVersion9OrLater(*this)) {
        char szAddinPath[MAX_PATH];
        if (!BuildPathBesideModule(szAddinPath, szAddin) || !PathFileExistsA(szAddinPath))
            return 2;
        // Straight to the debugger, whatever the trace switches say.
        TraceFixed("IsRegisteredApplication()\n");
        RegisterOfficeAddins();
    }

    std::shared_ptr<CCCF> pCcf = CurrentPolicy();
    CCCF& ccf = *pCcf;
    if (ccf.CheckCCFValidity() != 0) {
        TraceAlways("[CLxShellExt::IsRegisteredApplication] ccf is invalid!!");
        return 2;
    }
    const char* szPlugin = ccf.GetField(m_strAppName.c_str());
    if (!szPlugin) {
        TraceAlways("[CLxShellExt::IsRegisteredApplication] ccf -> not registered application[%s]",
                    m_strAppName.c_str());
        return 0;
    }
    if (szPlugin[0] == ' ' || szPlugin[0] == '\0')
        return 0;

    char szPluginName[MAX_PATH];
    if (!CopyBounded(szPluginName, szPlugin)) {
        // No plug-in can be named by it: answered as a missing plug-in, and
        // an earlier request's plug-in must not be handed on in its place.
        m_strInjectionDll.clear();
        TraceAlways("[CLxShellExt::IsRegisteredApplication] m_strInjectionDll is not existed[%s]",
                    szPlugin);
        return 2;
    }
    const char* szExcludeList = ccf.GetField("ExcludeAppList");
    const char* szPmiList = ccf.GetField("VormidpmiAppList");
    if (szExcludeList && IsExcludeApplication(szExcludeList, szPmiList)) {
        TraceLine("Exclude App:%s", m_strAppName.c_str());
        return 0;
    }

    char szPluginPath[MAX_PATH];
    if (BuildPathBesideModule(szPluginPath, szPluginName)) {
        std::optional<std::string> strLong = GetLongFilePathName(szPluginPath);
        m_strInjectionDll = strLong && !strLong->empty() ? *strLong : std::string(szPluginPath);
    } else {
        m_strInjectionDll.clear();
    }
    TraceAlways("[CLxShellExt::IsRegisteredApplication] m_strInjectionDll[%s]",
                m_strInjectionDll.c_str());

    if (!m_strInjectionDll.empty() && PathFileExistsA(m_strInjectionDll.c_str()))
        return 1;
    TraceAlways("[CLxShellExt::IsRegisteredApplication] m_strInjectionDll is not existed[%s]",
                m_strInjectionDll.c_str());
    return 2;
}

bool CLxShellExt::IsExcludeApplication(const char* a_szExcludeList, const char* a_szPmiList)
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
                    m_strAppName.c_str());
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
            strExcludeAppName.c_str(), m_strAppName.c_str());
        // An empty item names nothing, not even an application without a name.
        if (!strExcludeAppName.empty() &&
            lstrcmpiA(strExcludeAppName.c_str(), m_strAppName.c_str()) == 0) {
            if (StrStrIA(a_szPmiList, m_strAppName.c_str()))
                return true;
            TraceSwitchable("%s is exclude app and not pmi app. so return false\n",
                            m_strAppName.c_str());
            return false;
        }
        pos = sep + 1;
    }
    return false;
}
