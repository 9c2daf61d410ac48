// vmcheck: checks, one line each, what the product needs on this machine to
// protect documents, and says for each failure why and how to mend it:
//
//   OK <check>: <what was found>
//   FAIL <check>: <what is wrong>. Fix: <what to do>
//   WARN <check>: <what works, but not as the registry says>
//
// The product folder is the registered hook's folder, or this program's own
// when the hook is not registered. Exit code 0 when every check passes, 1
// when one fails, 2 for bad usage.

#include "companions/cipher/ccfformat.h"
#include "companions/cipher/ccflint.h"
#include "common/AuditTrail.h"
#include "common/BuildLayout.h"
#include "common/CommandProgram.h"
#include "common/ControlTable.h"
#include "common/FileIdentity.h"
#include "common/FileSignature.h"
#include "common/Handle.h"
#include "common/OfficeAddins.h"
#include "common/TrustedProgram.h"
#include "tools/toolsupport/ToolText.h"
#include "tools/toolsupport/ToolUsage.h"
#include "tools/vmcheck/ControlTable.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

enum ExitCode { c_nExitHealthy = 0, c_nExitFailed = 1 };

// The hook's class id, as its registration script writes it.
const char c_szHookClsid[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
const char c_szHooksKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
const char c_szPolicyKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const char c_szPolicyValue[] = "EnableShellExecuteHooks";
const char c_szPackage[] = "lumidex.msi";
const char c_szPackageX64[] = "lumidex-x64.msi";

const char c_szUsage[] =
    "usage: vmcheck\n"
    "       vmcheck --control-table list | add .EXT TYPE APPLICATION | remove .EXT\n"
    "       vmcheck --help | --version\n"
    "\n"
    "Without arguments, checks the installation of Korvane Lumidex on this machine,\n"
    "one line per check: \"OK <check>: ...\" or \"FAIL <check>: <reason>. Fix: <what\n"
    "to do>\". Exit codes: 0 all checks passed, 1 a check failed, 2 bad usage.\n"
    "\n"
    "--control-table lists, adds (or replaces) and removes the entries of the\n"
    "control table HKLM\\SOFTWARE\\Korvane\\Lumidex\\FileExts. On 64-bit Windows,\n"
    "where each build's hook reads its own registry view, add and remove write\n"
    "both views and the check fails for an entry that differs between them; list\n"
    "shows the view of this vmcheck's build. TYPE is the ControlType\n"
    "  0 never controlled\n"
    "  1 controlled when an encrypted document is opened (printed, edited, ...)\n"
    "  2 controlled when the document is encrypted, Open with included\n"
    "  3 controlled when a document is opened, or when it is encrypted\n"
    "  4 always controlled\n"
    "and APPLICATION the file name of the program that then opens it (such as\n"
    "WINWORD.EXE), found through HKCR\\Applications\\APPLICATION\\shell\\open\\command.\n"
    "Exit codes: 0 done, 1 not done (the reason on standard error), 2 bad usage.\n";

class CReport final {
public:
    void Ok(const std::string& a_strCheck, const std::string& a_strFound)
    {
        Print("OK " + a_strCheck + ": " + a_strFound);
    }
    void Fail(const std::string& a_strCheck, const std::string& a_strReason, const std::string& a_strFix)
    {
        ++m_cFailed;
        Print("FAIL " + a_strCheck + ": " + a_strReason + ". Fix: " + a_strFix);
    }
    // Not counted as a failure: the check passes, with a caveat.
    void Warn(const std::string& a_strCheck, const std::string& a_strCaveat)
    {
        Print("WARN " + a_strCheck + ": " + a_strCaveat);
    }
    bool Failed() const { return m_cFailed > 0; }
    // The last line: whether documents are protected at all, then the count.
    void Summarise(bool a_bPolicyValid) const
    {
        std::string strCount = m_cFailed == 0 ? "all checks passed" : std::to_string(m_cFailed) + " check(s) failed";
        Print(a_bPolicyValid ? "summary: " + strCount
                             : "summary: protection is OFF: no valid policy file, every request is handed back "
                               "to Windows; " + strCount);
    }

private:
    static void Print(const std::string& a_strLine)
    {
        fwrite(a_strLine.data(), 1, a_strLine.size(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
    }
    int m_cFailed = 0;
};

// A key's string value (the default one for a null name); false when the key
// or the value is missing or not a text.
bool ReadText(HKEY a_hRoot, const std::string& a_strKey, const char* a_szName, std::string& a_strText)
{
    char szText[MAX_PATH];
    DWORD cbText = sizeof(szText);
    if (RegGetValueA(a_hRoot, a_strKey.c_str(), a_szName, RRF_RT_REG_SZ, nullptr,
                     szText, &cbText) != ERROR_SUCCESS)
        return false;
    a_strText = szText;
    return true;
}

// A command of the associations as stored: REG_EXPAND_SZ data unexpanded,
// since the machine's values, not this user's, name its program.
bool ReadCommand(const std::string& a_strKey, std::string& a_strCommand)
{
    char szText[MAX_PATH];
    DWORD cbText = sizeof(szText);
    if (RegGetValueA(HKEY_CLASSES_ROOT, a_strKey.c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, szText, &cbText) != ERROR_SUCCESS)
        return false;
    a_strCommand = szText;
    return true;
}

bool ReadDword(HKEY a_hRoot, const std::string& a_strKey, const char* a_szName, DWORD& a_dwValue)
{
    DWORD cb = sizeof(a_dwValue);
    return RegGetValueA(a_hRoot, a_strKey.c_str(), a_szName, RRF_RT_REG_DWORD, nullptr, &a_dwValue, &cb) ==
           ERROR_SUCCESS;
}

bool FileExists(const std::string& a_strPath)
{
    DWORD dwAttributes = GetFileAttributesA(a_strPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Directory(const std::string& a_strPath)
{
    size_t pos = a_strPath.find_last_of("\\/");
    return pos == std::string::npos ? std::string(".") : a_strPath.substr(0, pos);
}

// The package of this machine's kind: 64-bit Windows gets both builds from
// the x64 package, so a 32-bit vmcheck there names it as well.
const char* PackageName()
{
    return IsSixtyFourBitWindows() ? c_szPackageX64 : c_szPackage;
}

// Two paths name the same file when their long forms match, whatever the case.
bool SamePath(const std::string& a_strA, const std::string& a_strB)
{
    char szA[MAX_PATH], szB[MAX_PATH];
    DWORD cchA = GetLongPathNameA(a_strA.c_str(), szA, MAX_PATH);
    DWORD cchB = GetLongPathNameA(a_strB.c_str(), szB, MAX_PATH);
    if (cchA == 0 || cchA >= MAX_PATH || cchB == 0 || cchB >= MAX_PATH)
        return lstrcmpiA(a_strA.c_str(), a_strB.c_str()) == 0;
    return lstrcmpiA(szA, szB) == 0;
}

std::string Quoted(const std::string& a_strText)
{
    return "\"" + a_strText + "\"";
}

// Who signed a program, as the publisher rule (TrustedPublishers) would see it.
std::string DescribeSigner(const std::string& a_strProgram)
{
    vm::FileSignature signature = vm::ReadFileSignature(vm::WideFromAnsi(a_strProgram));
    if (signature.m_state != vm::SignatureState::Signed)
        return vm::DescribeSignatureState(signature.m_state);
    return "signed by " + signature.m_strSigner + " (SHA-1 " + signature.m_strSha1 + ")";
}

class CInstallationCheck final {
public:
    void Run();
    bool Failed() const { return m_report.Failed(); }

private:
    void CheckHookClass();
    void CheckUserHookClass();
    void CheckHookListed();
    void CheckEventSource();
    void CheckHookPolicy();
    void CheckBesideHook(const std::string& a_strCheck, const char* a_szFile, const std::string& a_strFix);
    void CheckPolicyFile();
    void CheckSignature(const std::string& a_strPath);
    void CheckTrustedFolders(const char* a_szTrustedFolders, const std::string& a_strSeal);
    void CheckAddin(const vm::COfficeAddin& a_addin);
    void CheckDroppedSwitches(const std::vector<cipherfmt::CcfField>& a_fields);
    void CheckControlTableViews();
    void CheckControlTableUse();
    bool IsProgramTrusted(const std::string& a_strCheck, const std::string& a_strProgram);

    std::string BesideHook(const std::string& a_strFile) const { return m_strDir + "\\" + a_strFile; }
    // The x64 build installed in the x64 subfolder shares the product folder's policy file.
    std::string PolicyPath() const { return vm::PolicyFolder(m_strDir + "\\") + cipherfmt::c_szCcfFileName; }
    std::string Reinstall() const
    {
        return std::string("repair the installation: msiexec /fa ") + PackageName();
    }

    CReport m_report;
    std::string m_strDir;
    bool m_bPolicyValid = false;
    std::vector<cipherfmt::CcfField> m_fields; // of the valid policy
};

void CInstallationCheck::CheckHookClass()
{
    std::string strModule;
    const std::string strServerKey = std::string("CLSID\\") + c_szHookClsid + "\\InprocServer32";
    if (!ReadText(HKEY_CLASSES_ROOT, strServerKey, nullptr, strModule) || strModule.empty()) {
        char szSelf[MAX_PATH];
        DWORD cch = GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
        m_strDir = cch > 0 && cch < MAX_PATH ? Directory(szSelf) : ".";
        m_report.Fail("hook class", std::string("class ") + c_szHookClsid + " is not registered",
                      "run: regsvr32 " + Quoted(BesideHook("vormidmgr.dll")) + ", or " + Reinstall());
        m_report.Fail("hook module", "unknown while the class is not registered",
                      "register the hook as above");
        return;
    }
    m_strDir = Directory(strModule);
    m_report.Ok("hook class", std::string("class ") + c_szHookClsid + " is served by " + strModule);
    if (FileExists(strModule)) {
        m_report.Ok("hook module", strModule + " is present");
        CheckSignature(strModule);
    } else
        m_report.Fail("hook module", "the registered module " + strModule + " is missing", Reinstall());
}

// A class registered under the user's own classes wins over the machine's
// registration when Explorer creates it: that user's Explorer then loads
// another module, or none, and protection is silently off for them.
void CInstallationCheck::CheckUserHookClass()
{
    const std::string strKey = std::string("Software\\Classes\\CLSID\\") + c_szHookClsid;
    vm::UniqueKey server;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (strKey + "\\InprocServer32").c_str(), 0, KEY_QUERY_VALUE,
                      server.put()) != ERROR_SUCCESS) {
        m_report.Ok("hook class per user", "this user has no registration of its own for " +
                                               std::string(c_szHookClsid));
        return;
    }
    std::string strModule;
    if (!ReadText(HKEY_CURRENT_USER, strKey + "\\InprocServer32", nullptr, strModule) || strModule.empty())
        strModule = "no module";
    m_report.Fail("hook class per user",
                  "HKCU\\" + strKey + "\\InprocServer32 registers the hook's class for this user with " +
                      strModule + ", so this user's Explorer does not load the product's hook",
                  "run as this user: reg delete " + Quoted("HKCU\\" + strKey) + " /f");
}

void CInstallationCheck::CheckHookListed()
{
    vm::UniqueKey hooks;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szHooksKey, 0, KEY_QUERY_VALUE, hooks.put()) == ERROR_SUCCESS &&
        RegQueryValueExA(hooks.get(), c_szHookClsid, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        m_report.Ok("shell-execute hook list", std::string("HKLM\\") + c_szHooksKey + " lists " + c_szHookClsid);
        return;
    }
    m_report.Fail("shell-execute hook list",
                  std::string("HKLM\\") + c_szHooksKey + " does not list " + c_szHookClsid +
                      ", so the shell never offers a request to the hook",
                  "run: regsvr32 " + Quoted(BesideHook("vormidmgr.dll")) + ", or " + Reinstall());
}

// Windows Vista and later run shell-execute hooks only when the machine policy
// asks for them; earlier versions always run them.
void CInstallationCheck::CheckHookPolicy()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion < 6) {
        m_report.Ok("hook policy value", "not needed on this version of Windows");
        return;
    }
    DWORD dwValue = 0;
    const std::string strWhere = std::string("HKLM\\") + c_szPolicyKey + " " + c_szPolicyValue;
    if (ReadDword(HKEY_LOCAL_MACHINE, c_szPolicyKey, c_szPolicyValue, dwValue) && dwValue == 1) {
        m_report.Ok("hook policy value", strWhere + " is 1");
        return;
    }
    m_report.Fail("hook policy value",
                  strWhere + " is not 1, so Explorer runs no shell-execute hook",
                  std::string("run: reg add ") + Quoted(std::string("HKLM\\") + c_szPolicyKey) + " /v " +
                      c_szPolicyValue + " /t REG_DWORD /d 1 /f, or install with ENABLESHELLEXECUTEHOOKS=1");
}

void CInstallationCheck::CheckBesideHook(const std::string& a_strCheck, const char* a_szFile,
                                         const std::string& a_strFix)
{
    const std::string strPath = BesideHook(a_szFile);
    if (!FileExists(strPath)) {
        m_report.Fail(a_strCheck, strPath + " is missing", a_strFix);
        return;
    }
    m_report.Ok(a_strCheck, strPath + " is present");
    CheckSignature(strPath);
}

// A product file as its publisher signed it: an unsigned file, or one changed
// after signing, is not the one that was shipped.
void CInstallationCheck::CheckSignature(const std::string& a_strPath)
{
    const std::string strCheck = std::string("signature ") + PathFindFileNameA(a_strPath.c_str());
    vm::FileSignature signature = vm::ReadFileSignature(vm::WideFromAnsi(a_strPath));
    // The build's own test certificate, known by its thumbprint: a name anyone can give a certificate.
    const bool bTestSigner = !signature.m_strSha1.empty() && signature.m_strSha1 == VM_TEST_SIGNER_SHA1;
    // Windows does not trust the test certificate's root; the signature itself holds.
    const bool bUntrustedTestRoot = bTestSigner && (signature.m_lResult == CERT_E_UNTRUSTEDROOT ||
                                                    signature.m_lResult == CERT_E_CHAINING);
    if (signature.m_state == vm::SignatureState::Signed && !bTestSigner)
        m_report.Ok(strCheck, a_strPath + " is signed by " + signature.m_strSigner + " (SHA-1 " +
                                  signature.m_strSha1 + ")");
    else if (signature.m_state == vm::SignatureState::Signed || bUntrustedTestRoot)
        m_report.Ok(strCheck, a_strPath + " is signed with the test certificate of a development build (" +
                                  signature.m_strSigner + "), not by the company's certificate");
    else
        m_report.Fail(strCheck, a_strPath + " is " + vm::DescribeSignatureState(signature.m_state) +
                                    (signature.m_strSigner.empty() ? "" : " (signer: " + signature.m_strSigner + ")") +
                                    ", so it is not the file that was shipped",
                      Reinstall());
}

void CInstallationCheck::CheckPolicyFile()
{
    const std::string strPath = PolicyPath();
    const std::string strSeal = "seal the policy with: ciphertool seal POLICY.TXT " + Quoted(strPath);
    std::vector<cipherfmt::CcfField> fields;
    size_t nLine = 0;
    int nValidity = cipherfmt::ReadCcfFile(strPath.c_str(), &fields, &nLine);
    if (nValidity != CCF_VALID) {
        std::string strReason = strPath + " is not valid: " + cipherfmt::DescribeCcfValidity(nValidity);
        if (nLine > 0)
            strReason += " (line " + std::to_string(nLine) + ")";
        m_report.Fail("policy file", strReason,
                      nValidity == CCF_E_MISSING ? strSeal + ", or install with COMPANYPOLICY=<sealed file>"
                                                 : strSeal);
        m_report.Fail("company id", "unknown without a valid policy file", "mend the policy file first");
        return;
    }
    m_report.Ok("policy file", strPath + " is valid");
    m_bPolicyValid = true;
    m_fields = fields;
    // What ciphertool's lint says of the policy, said here too: one check.
    for (const cipherfmt::CcfWarning& warning : cipherfmt::LintCcfFields(fields, m_strDir))
        m_report.Warn("policy line " + std::to_string(warning.nLine), warning.strText);
    const cipherfmt::CcfField* pTrusted = cipherfmt::FindCcfField(fields, vm::c_szTrustedFoldersField);
    CheckTrustedFolders(pTrusted ? pTrusted->strValue.c_str() : nullptr, strSeal);
    const cipherfmt::CcfField* pCompany = cipherfmt::FindCcfField(fields, cipherfmt::c_szCompanyIdField);
    if (pCompany && !pCompany->strValue.empty())
        m_report.Ok("company id", pCompany->strValue);
    else
        m_report.Fail("company id", "the policy file carries no CompanyID",
                      "add a CompanyID=<id> line and " + strSeal);
    for (const cipherfmt::CcfField& field : fields) {
        // A blank value registers no plug-in, as the hook reads it.
        if (!cipherfmt::NamesProgram(field.strName) || field.strValue.empty() || field.strValue[0] == ' ')
            continue;
        const std::string strPlugin = BesideHook(field.strValue);
        if (FileExists(strPlugin)) {
            m_report.Ok("plug-in " + field.strValue, strPlugin + " is present for " + field.strName);
            CheckSignature(strPlugin);
        } else
            m_report.Fail("plug-in " + field.strValue,
                          strPlugin + " is missing, so " + field.strName + " cannot be controlled",
                          "copy " + field.strValue + " beside the hook, or correct the field " + field.strName +
                              " and " + strSeal);
    }
    CheckDroppedSwitches(fields);
}

// Every document type whose command starts a program the policy registers:
// the program is judged by the trust rule, and, since the launcher starts a
// controlled application with the document alone, the other arguments of the
// type's open command (a print switch, "-jar") are named as not passed.
void CInstallationCheck::CheckDroppedSwitches(const std::vector<cipherfmt::CcfField>& a_fields)
{
    char szName[MAX_PATH];
    std::set<std::string> judged; // each program once, however many types it opens
    for (DWORD i = 0;; ++i) {
        DWORD cchName = MAX_PATH;
        LONG lStatus = RegEnumKeyExA(HKEY_CLASSES_ROOT, i, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
        if (lStatus == ERROR_NO_MORE_ITEMS)
            return;
        std::string strProgId, strCommand;
        if (lStatus != ERROR_SUCCESS || szName[0] != '.' || !ReadText(HKEY_CLASSES_ROOT, szName, nullptr, strProgId) ||
            strProgId.empty() ||
            !ReadCommand(strProgId + "\\shell\\open\\command", strCommand))
            continue;
        vm::CommandProgram program = vm::FindCommandProgram(strCommand);
        const char* szProgram = PathFindFileNameA(program.m_strProgram.c_str());
        const cipherfmt::CcfField* pField = cipherfmt::FindCcfField(a_fields, szProgram);
        if (program.m_strProgram.empty() || !pField || !cipherfmt::NamesProgram(pField->strName) ||
            pField->strValue.empty() || pField->strValue[0] == ' ')
            continue;
        if (judged.insert(program.m_strProgram).second &&
            IsProgramTrusted(std::string("association ") + szName, program.m_strProgram))
            m_report.Ok(std::string("association ") + szName,
                        program.m_strProgram + " receives " + pField->strValue + ", " +
                            DescribeSigner(program.m_strProgram));
        if (program.m_strArguments.empty())
            continue;
        m_report.Warn(std::string("switches ") + szName,
                      std::string(szProgram) + " is controlled, and its documents open without the registered "
                      "command's " + program.m_strArguments + " (the launcher passes the document alone)");
    }
}

// A folder whose programs may receive a plug-in must be one only
// administrators change, judged as the trust rule judges it.
void CInstallationCheck::CheckTrustedFolders(const char* a_szTrustedFolders, const std::string& a_strSeal)
{
    const std::string strFix = "correct the field TrustedFolders and " + a_strSeal;
    for (const std::string& strEntry : vm::SplitTrustedFolders(a_szTrustedFolders)) {
        const std::string strCheck = "trusted folder " + strEntry;
        std::wstring strFinal;
        const char* szUnfit = nullptr;
        if (!vm::IsFullPath(strEntry))
            m_report.Fail(strCheck, "not a full path", strFix);
        else if (!vm::IsExistingFolder(strEntry) || !vm::GetFinalPath(vm::WideFromAnsi(strEntry), strFinal))
            m_report.Fail(strCheck, "no such folder", strFix);
        else if ((szUnfit = vm::WhyTrustedFolderIsUnfit(strFinal)) != nullptr)
            m_report.Fail(strCheck, szUnfit, strFix);
        else
            m_report.Ok(strCheck, "an existing folder that only administrators change");
    }
}

void CInstallationCheck::CheckAddin(const vm::COfficeAddin& a_addin)
{
    const std::string strModule = BesideHook(a_addin.m_szModule);
    const std::string strRegister = "run: regsvr32 " + Quoted(strModule);
    CheckBesideHook(std::string("add-in module ") + a_addin.m_szModule, a_addin.m_szModule, Reinstall());

    const std::string strClassCheck = std::string("add-in class ") + a_addin.m_szProgId;
    std::string strClsid, strServer;
    if (!ReadText(HKEY_CLASSES_ROOT, std::string(a_addin.m_szProgId) + "\\CLSID", nullptr, strClsid))
        m_report.Fail(strClassCheck, "the ProgID is not registered, so Office cannot create the add-in",
                      strRegister);
    else if (!ReadText(HKEY_CLASSES_ROOT, "CLSID\\" + strClsid + "\\InprocServer32", nullptr, strServer))
        m_report.Fail(strClassCheck, "class " + strClsid + " has no in-process server", strRegister);
    else if (!SamePath(strServer, strModule))
        m_report.Fail(strClassCheck, "class " + strClsid + " is served by " + strServer + ", not " + strModule,
                      strRegister);
    else
        m_report.Ok(strClassCheck, "class " + strClsid + " is served by " + strServer);

    const std::string strBehaviorCheck = std::string("add-in load behaviour ") + a_addin.m_szProgId;
    const std::string strEntry = vm::OfficeAddinKey(a_addin);
    DWORD dwBehavior = 0;
    if (!ReadDword(HKEY_CURRENT_USER, strEntry, "LoadBehavior", dwBehavior))
        m_report.Fail(strBehaviorCheck, "HKCU\\" + strEntry + " has no LoadBehavior, so " +
                                            a_addin.m_szApplication + " does not load the add-in",
                      strRegister + " (the hook does so itself at the next request)");
    else if (dwBehavior != vm::c_dwAddinLoadAtStartup)
        m_report.Fail(strBehaviorCheck,
                      "LoadBehavior is " + std::to_string(dwBehavior) + ", not 3: " + a_addin.m_szApplication +
                          " does not load the add-in at start-up (2: it failed to load before)",
                      strRegister + " (the hook does so itself at the next request)");
    else
        m_report.Ok(strBehaviorCheck, "LoadBehavior is 3");
}

// The audit trail's source names the hook module as its message file: without
// it the log shows the events without their texts.
void CInstallationCheck::CheckEventSource()
{
    const std::string strKey = vm::AuditSourceKey(vm::AuditSourceName());
    std::string strFile;
    std::string strFix = "run: regsvr32 " + Quoted(BesideHook("vormidmgr.dll")) + ", or " + Reinstall();
    if (!ReadText(HKEY_LOCAL_MACHINE, strKey, "EventMessageFile", strFile) || strFile.empty()) {
        m_report.Fail("event source", std::string("the event source \"") + vm::AuditSourceName() +
                                          "\" is not registered in the Application log", strFix);
        return;
    }
    char szExpanded[MAX_PATH];
    DWORD cch = ExpandEnvironmentStringsA(strFile.c_str(), szExpanded, MAX_PATH);
    if (cch == 0 || cch > MAX_PATH || !FileExists(szExpanded)) {
        m_report.Fail("event source", "its message file " + strFile + " is missing", strFix);
        return;
    }
    m_report.Ok("event source", std::string("\"") + vm::AuditSourceName() + "\" with messages in " + strFile);
}

// On 64-bit Windows a document type controlled in one view only is opened
// unprotected by the programs of the other bitness.
void CInstallationCheck::CheckControlTableViews()
{
    if (!IsSixtyFourBitWindows())
        return;
    std::vector<CViewDifference> differences = CompareControlTableViews();
    for (const CViewDifference& difference : differences)
        m_report.Fail("control table " + (difference.m_strExt.empty() ? "views" : difference.m_strExt),
                      difference.m_strReason, difference.m_strFix);
    if (differences.empty())
        m_report.Ok("control table views", "the 64-bit and the 32-bit registry view hold the same entries");
}

// Each controlled type of this build's view as the hook would serve it: the
// application it names registered, its command naming an existing program,
// and that program one the policy registers.
void CInstallationCheck::CheckControlTableUse()
{
    for (const CControlEntry& entry : ReadControlEntries()) {
        cipherfmt::ControlTableUse use{entry.m_strExt, entry.m_uControlType, entry.m_strApplication, "", "", ""};
        if (FindApplicationCommand(entry.m_strApplication, use.strCommandKey, use.strCommand))
            use.strProgram = vm::FindCommandProgram(use.strCommand).m_strProgram;
        const std::string strCheck = "control table " + entry.m_strExt;
        std::vector<cipherfmt::ControlTableFinding> findings =
            cipherfmt::LintControlTableUse(use, m_bPolicyValid ? &m_fields : nullptr);
        for (const cipherfmt::ControlTableFinding& finding : findings) {
            if (finding.bFailure)
                m_report.Fail(strCheck, finding.strText, finding.strFix);
            else
                m_report.Warn(strCheck, finding.strText + "; " + finding.strFix);
        }
        if (findings.empty() && use.uControlType != 0 && use.uControlType <= vm::c_uHighestControlType &&
            IsProgramTrusted(strCheck, use.strProgram))
            m_report.Ok(strCheck, entry.m_strApplication + " opens its documents: " + use.strProgram + ", " +
                                      DescribeSigner(use.strProgram));
    }
}

// A program the valid policy registers, judged by the trust rule as the hook,
// the launcher and the plug-in will judge it: one they refuse fails here, with
// the rule, instead of failing every request for its documents.
bool CInstallationCheck::IsProgramTrusted(const std::string& a_strCheck, const std::string& a_strProgram)
{
    const cipherfmt::CcfField* pField = cipherfmt::FindCcfField(m_fields, PathFindFileNameA(a_strProgram.c_str()));
    if (!m_bPolicyValid || a_strProgram.empty() || !pField || !cipherfmt::NamesProgram(pField->strName))
        return true;
    vm::PolicyFieldReader reader = [this](const char* a_szName) {
        const cipherfmt::CcfField* pNamed = cipherfmt::FindCcfField(m_fields, a_szName);
        return pNamed ? pNamed->strValue.c_str() : nullptr;
    };
    vm::ProgramTrust trust = vm::CheckProgramForPlugin(vm::WideFromAnsi(a_strProgram),
                                                       vm::WideFromAnsi(BesideHook(pField->strValue)), reader);
    if (trust == vm::ProgramTrust::Trusted)
        return true;
    m_report.Fail(a_strCheck,
                  a_strProgram + " will be refused (5) at every request: " + vm::DescribeProgramTrust(trust),
                  trust == vm::ProgramTrust::OutsideFolders
                      ? "install " + pField->strName + " below Program Files or the Windows folder and register that "
                        "copy, or list its folder in TrustedFolders if only administrators can change it"
                      : "repair the installation of " + pField->strName);
    return false;
}

void CInstallationCheck::Run()
{
    CheckHookClass();
    CheckUserHookClass();
    CheckHookListed();
    CheckEventSource();
    CheckHookPolicy();
    CheckBesideHook("cipher.dll", "cipher.dll", Reinstall());
    CheckPolicyFile();
    CheckBesideHook("launcher", "vormidmgr.exe", Reinstall());
    CheckControlTableViews();
    CheckControlTableUse();
    for (const vm::COfficeAddin& addin : vm::c_officeAddins)
        CheckAddin(addin);
    m_report.Summarise(m_bPolicyValid);
}

} // namespace

int main(int a_argc, char** a_argv)
{
    vmtool::UseBinaryStdout();
    const std::vector<std::string> args(a_argv + std::min(a_argc, 1), a_argv + a_argc);
    if (args.size() == 1 && args[0] == "--help")
        return vmtool::ShowHelp(c_szUsage);
    if (args.size() == 1 && args[0] == "--version")
        return vmtool::ShowVersion("vmcheck");
    if (!args.empty() && args[0] == "--control-table") {
        CControlTableCommand command;
        std::string strError;
        if (!ParseControlTableCommand({args.begin() + 1, args.end()}, command, strError))
            return vmtool::ShowBadUse("vmcheck", strError, c_szUsage);
        return RunControlTableCommand(command);
    }
    if (!args.empty())
        return vmtool::ShowBadUse("vmcheck", "unknown argument '" + args[0] + "'", c_szUsage);
    CInstallationCheck check;
    check.Run();
    return check.Failed() ? c_nExitFailed : c_nExitHealthy;
}
