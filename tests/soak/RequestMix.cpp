#include "tests/soak/RequestMix.h"

#include "common/FileIdentity.h"

#include "module/DocHook.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/TestPaths.h"

#include "common/OfficeAddins.h"
#include "companions/cipher/ccfformat.h"

#include <cstring>

namespace vmtest {

namespace {

const char* const c_szClassNames[] = {
    "uncontrolled document", "control-table document", "class key", "per-user choice",
    "unknown extension", "application operation", "encrypted document", "no file",
    "controlled launch"};

// File of each class, in the scratch folder; the no-file class has none.
const char* const c_szFiles[] = {"plain.vmtxt", "table.vmctl", "keyed.vmtxt", "chosen.vmpux",
                                 "strange.vmzzz", "tool.exe", "secret.vmtxt", "", "draw.vmclx"};

constexpr char c_szPlugin[] = "vmmixplug.dll";

// hInstApp as the request is offered; a request handed back keeps it.
constexpr INT_PTR c_nUntouched = 0xDEAD;

// What the hook answers to a request of each class, in the order of the classes.
const HookAnswer c_expectedAnswers[] = {
    {S_FALSE, c_nUntouched}, // uncontrolled document
    {S_FALSE, c_nUntouched}, // control-table document
    {S_FALSE, c_nUntouched}, // class key
    {S_FALSE, c_nUntouched}, // per-user choice
    {S_FALSE, c_nUntouched}, // unknown extension
    {S_FALSE, c_nUntouched}, // application operation
    {S_FALSE, c_nUntouched}, // encrypted document
    {S_FALSE, c_nUntouched}, // no file
    {S_OK, SE_ERR_FNF},      // controlled launch
};
static_assert(sizeof(c_expectedAnswers) / sizeof(c_expectedAnswers[0]) == c_cRequestClasses);

void Associate(const std::string& a_strExt, const std::string& a_strProgId, const std::string& a_strApp)
{
    SetString(HKEY_CLASSES_ROOT, a_strExt, nullptr, a_strProgId);
    SetString(HKEY_CLASSES_ROOT, a_strProgId + "\\shell\\open\\command", nullptr,
              "\"" + a_strApp + "\" \"%1\"");
}

std::string EncryptedDocument()
{
    unsigned char header[cipherfmt::c_cbAcapHeader];
    const std::string strPayload = "secret payload";
    cipherfmt::BuildAcapHeader(strPayload.size(), header);
    return std::string(reinterpret_cast<char*>(header), sizeof(header)) + strPayload;
}

} // namespace

void MarkAddinsLoaded()
{
    for (const vm::COfficeAddin& addin : vm::c_officeAddins)
        SetDword(HKEY_CURRENT_USER, vm::OfficeAddinKey(addin), "LoadBehavior", 3);
}

HookAnswer ExpectedAnswer(int a_nClass)
{
    return c_expectedAnswers[a_nClass];
}

const char* RequestClassName(int a_nClass)
{
    return a_nClass >= 0 && a_nClass < c_cRequestClasses ? c_szClassNames[a_nClass] : "?";
}

CRequestMix::CRequestMix(const std::string& a_strName)
    : m_redirect(std::make_unique<RegistryRedirect>(a_strName)),
      m_strDir(MakeScratchDir(a_strName)), m_strPlugin(TestDir() + "\\" + c_szPlugin)
{
    MarkAddinsLoaded();
    std::string strViewer = m_strDir + "\\viewer.exe";
    std::string strDrawer = m_strDir + "\\drawer.exe";
    WriteFile(strViewer, "MZ");
    WriteFile(strDrawer, "MZ");
    WriteFile(m_strDir + "\\tool.exe", "MZ");
    Associate(".vmtxt", "VmMix.Text", strViewer);
    Associate(".vmctl", "VmMix.Text", strViewer);
    Associate(".vmclx", "VmMix.Drawing", strDrawer);
    // Controlled only for an encrypted document opened: a plain one goes on
    // through the associations.
    SetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmctl", "ControlType", 1);
    SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmctl", "Application",
              "viewer.exe");
    SetString(HKEY_CURRENT_USER,
              "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.vmpux",
              "Application", "viewer.exe");
    RegOpenKeyExA(HKEY_CLASSES_ROOT, "VmMix.Text", 0, KEY_READ, &m_hClassKey);
    for (int i = 0; i < c_cRequestClasses; ++i)
        if (*c_szFiles[i])
            WriteFile(m_strDir + "\\" + c_szFiles[i], i == c_requestEncrypted ? EncryptedDocument() : "text");
    WriteFile(m_strPlugin, "plug-in");
    // The drawer is installed where an administrator trusts it: the launch
    // gets as far as the (absent) launcher.
    WritePolicy({{"CompanyID", "ACME"}, {"drawer.exe", c_szPlugin}, {"TrustedFolders", m_strDir}});
    if (FAILED(CDocHook::Create(nullptr, IID_IShellExecuteHookA, reinterpret_cast<void**>(&m_pHook))))
        m_pHook = nullptr;
}

CRequestMix::~CRequestMix()
{
    if (m_pHook)
        m_pHook->Release();
    if (m_hClassKey)
        RegCloseKey(m_hClassKey);
    RemovePolicy();
    DeleteFileA(m_strPlugin.c_str());
    RemoveTree(m_strDir);
    m_redirect.reset();
}

const char* CRequestMix::Verb(int a_nClass) const
{
    return a_nClass == c_requestClassKey ? nullptr : "open";
}

std::string CRequestMix::File(int a_nClass) const
{
    return *c_szFiles[a_nClass] ? m_strDir + "\\" + c_szFiles[a_nClass] : std::string();
}

HKEY CRequestMix::ClassKey(int a_nClass) const
{
    return a_nClass == c_requestClassKey ? m_hClassKey : nullptr;
}

HookAnswer CRequestMix::Offer(int a_nClass) const
{
    return OfferTo(m_pHook, a_nClass);
}

namespace {

// Offers one request of the class in the hook's ANSI or wide form. The hook
// rewrites the file text in place: each request has its own.
template <typename Hook, typename Info, typename String>
HookAnswer OfferAs(Hook* a_pHook, const char* a_szVerb, const String& a_strFile, bool a_bNoFile, HKEY a_hKey)
{
    String strFile = a_strFile;
    String strVerb;
    if (a_szVerb)
        strVerb.assign(a_szVerb, a_szVerb + strlen(a_szVerb));
    Info sei{};
    sei.cbSize = sizeof(sei);
    sei.lpVerb = a_szVerb ? strVerb.c_str() : nullptr;
    sei.lpFile = a_bNoFile ? nullptr : &strFile[0];
    sei.nShow = SW_SHOWNORMAL;
    sei.hInstApp = reinterpret_cast<HINSTANCE>(c_nUntouched);
    if (a_hKey) {
        sei.fMask = SEE_MASK_CLASSKEY;
        sei.hkeyClass = a_hKey;
    }
    HRESULT hr = a_pHook->Execute(&sei);
    return {hr, reinterpret_cast<INT_PTR>(sei.hInstApp)};
}

} // namespace

HookAnswer CRequestMix::OfferTo(IShellExecuteHookA* a_pHook, int a_nClass) const
{
    return OfferAs<IShellExecuteHookA, SHELLEXECUTEINFOA>(a_pHook, Verb(a_nClass), File(a_nClass),
                                                          a_nClass == c_requestNoFile, ClassKey(a_nClass));
}

HookAnswer CRequestMix::OfferWide(int a_nClass, const std::wstring& a_strFile) const
{
    IShellExecuteHookW* pHook = nullptr;
    if (FAILED(m_pHook->QueryInterface(IID_IShellExecuteHookW, reinterpret_cast<void**>(&pHook))))
        return {E_NOINTERFACE, 0};
    HookAnswer answer = OfferAs<IShellExecuteHookW, SHELLEXECUTEINFOW>(
        pHook, Verb(a_nClass), a_strFile.empty() ? vm::WideFromAnsi(File(a_nClass)) : a_strFile,
        a_nClass == c_requestNoFile, ClassKey(a_nClass));
    pHook->Release();
    return answer;
}

} // namespace vmtest
