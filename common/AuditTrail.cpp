#include "common/AuditTrail.h"

#include "common/AuditTrailLimit.h"

#include "AuditMessages.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "common/LockGuard.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include <string>

namespace vm {
namespace {

// An insert longer than this is cut; the log's own limit is about 32000.
constexpr size_t c_cchInsertMax = 2048;
constexpr char c_szApplicationLog[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

using Inserts = std::initializer_list<std::wstring>;

unsigned long long HashEvent(DWORD a_dwId, const Inserts& a_inserts)
{
    unsigned long long ullHash = 14695981039346656037ull ^ a_dwId;
    for (const std::wstring& strInsert : a_inserts) {
        for (wchar_t ch : strInsert)
            ullHash = (ullHash ^ static_cast<unsigned>(ch)) * 1099511628211ull;
        ullHash = (ullHash ^ 0x10000) * 1099511628211ull; // keeps "ab","c" apart from "a","bc"
    }
    return ullHash;
}

CAuditLimiter& Limiter()
{
    static CAuditLimiter s_limiter(GetTickCount);
    return s_limiter;
}

// An insert as the log shows it: a control character (a line break, say)
// or a line separator becomes a visible escape, so that no text can start a line of its own that
// reads like another event. The text is cut to c_cchInsertMax.
std::wstring VisibleInsert(const std::wstring& a_strInsert)
{
    std::wstring strVisible;
    for (wchar_t ch : a_strInsert) {
        if (strVisible.size() >= c_cchInsertMax)
            break;
        if (ch == L'\r') {
            strVisible += L"\\r";
        } else if (ch == L'\n') {
            strVisible += L"\\n";
        } else if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F) || ch == 0x2028 || ch == 0x2029) {
            // C1 controls and the line and paragraph separators break lines too.
            wchar_t szEscape[8];
            std::swprintf(szEscape, sizeof(szEscape) / sizeof(szEscape[0]), ch < 0x100 ? L"\\x%02X" : L"\\u%04X",
                          static_cast<unsigned>(ch));
            strVisible += szEscape;
        } else {
            strVisible += ch;
        }
    }
    return strVisible.size() > c_cchInsertMax ? strVisible.substr(0, c_cchInsertMax) : strVisible;
}

// Written wide, so that names the ANSI code page cannot hold reach the log.
void ReportEventTexts(WORD a_wType, DWORD a_dwId, Inserts a_inserts)
{
    constexpr WORD c_cMaxInserts = 8;
    std::wstring strings[c_cMaxInserts];
    const wchar_t* szStrings[c_cMaxInserts] = {};
    WORD cStrings = 0;
    for (const std::wstring& strInsert : a_inserts) {
        if (cStrings == c_cMaxInserts)
            break;
        strings[cStrings] = VisibleInsert(strInsert);
        szStrings[cStrings] = strings[cStrings].c_str();
        ++cStrings;
    }
    HANDLE hSource = RegisterEventSourceW(nullptr, WideFromAnsi(AuditSourceName()).c_str());
    if (!hSource)
        return;
    ReportEventW(hSource, a_wType, 0, a_dwId, nullptr, cStrings, 0, szStrings, nullptr);
    DeregisterEventSource(hSource);
}

std::wstring CurrentUser()
{
    wchar_t szUser[257] = {}; // UNLEN + 1
    DWORD cch = sizeof(szUser) / sizeof(szUser[0]);
    if (!GetUserNameW(szUser, &cch))
        return L"(unknown)";
    return szUser;
}

void ReportHeldBack(const AuditHeldBack& a_held)
{
    ReportEventTexts(EVENTLOG_WARNING_TYPE, VM_EVENT_EVENTS_SUPPRESSED,
                     {std::to_wstring(a_held.m_dwId), std::to_wstring(a_held.m_cEvents),
                      std::to_wstring(c_cAuditPerIdMax)});
}

// a_pRule: the rule of a refusal, which makes its kind together with the id.
void WriteEvent(WORD a_wType, DWORD a_dwId, Inserts a_inserts, const std::wstring* a_pRule = nullptr)
{
    AuditAdmission admission = Limiter().Admit(
        a_dwId, HashEvent(a_dwId, a_inserts), a_pRule ? HashEvent(a_dwId, {*a_pRule}) : HashEvent(a_dwId, {}));
    for (size_t i = 0; i < admission.m_cOver; ++i)
        ReportHeldBack(admission.m_over[i]);
    if (admission.m_bLimitReached)
        ReportEventTexts(EVENTLOG_WARNING_TYPE, VM_EVENT_EVENT_LIMIT_REACHED,
                         {std::to_wstring(a_dwId), std::to_wstring(c_cAuditPerIdMax)});
    if (admission.m_bWrite)
        ReportEventTexts(a_wType, a_dwId, a_inserts);
}

// The counts held back when the process ends are told then: a host that
// ends within the minute leaves no flood untold. A static object's end runs
// as the program or the module is unloaded.
struct HeldBackAtEnd {
    ~HeldBackAtEnd() { TellHeldBack(); }
} s_heldBackAtEnd;

std::wstring Text(const std::wstring& a_str)
{
    return a_str.empty() ? L"(none)" : a_str;
}

std::wstring Text(const std::string& a_str)
{
    return Text(WideFromAnsi(a_str));
}

void WriteRefusal(DWORD a_dwId, const RefusedStart& a_refused)
{
    std::wstring strRule = Text(a_refused.m_strRule);
    WriteEvent(EVENTLOG_WARNING_TYPE, a_dwId,
               {CurrentUser(), Text(a_refused.m_strDocument), Text(a_refused.m_strProgram),
                Text(a_refused.m_strPlugin), strRule, std::to_wstring(a_refused.m_nCode),
                Text(a_refused.m_strRequestText)},
               &strRule);
}

// The policy file's state as this process last saw it.
enum : LONG { c_nPolicyUnknown, c_nPolicyUsable, c_nPolicyUnusable };
LONG s_nPolicyState = c_nPolicyUnknown;

} // namespace

void TellHeldBack()
{
    AuditHeldBack held[c_cAuditIds];
    size_t cHeld = Limiter().TakeHeldBack(held);
    for (size_t i = 0; i < cHeld; ++i)
        ReportHeldBack(held[i]);
}

const char* AuditSourceName()
{
    return sizeof(void*) == 8 ? "Korvane Lumidex (x64)" : "Korvane Lumidex";
}

void ReportControlledStart(const std::wstring& a_strDocument, const std::wstring& a_strApplication,
                           const std::wstring& a_strPlugin, const char* a_szRoute)
{
    WriteEvent(EVENTLOG_INFORMATION_TYPE, VM_EVENT_CONTROLLED_START,
               {CurrentUser(), Text(a_strDocument), Text(a_strApplication), Text(a_strPlugin), Text(a_szRoute)});
}

void ReportStartRefused(const RefusedStart& a_refused)
{
    WriteRefusal(VM_EVENT_START_REFUSED, a_refused);
}

void ReportLauncherRefused(const RefusedStart& a_refused)
{
    WriteRefusal(VM_EVENT_LAUNCHER_REFUSED, a_refused);
}

void ReportHandedBackUnprotected(const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                                 const std::wstring& a_strPlugin, const std::string& a_strMissing)
{
    WriteEvent(EVENTLOG_WARNING_TYPE, VM_EVENT_HANDED_BACK_UNPROTECTED,
               {CurrentUser(), Text(a_strDocument), Text(a_strProgram), Text(a_strPlugin), Text(a_strMissing)});
}

void ReportPolicyState(const std::string& a_strPath, bool a_bUsable, const char* a_szReason)
{
    LONG nNew = a_bUsable ? c_nPolicyUsable : c_nPolicyUnusable;
    LONG nOld = InterlockedExchange(&s_nPolicyState, nNew);
    if (nOld == nNew || (a_bUsable && nOld == c_nPolicyUnknown))
        return;
    if (a_bUsable)
        WriteEvent(EVENTLOG_INFORMATION_TYPE, VM_EVENT_POLICY_USABLE, {Text(a_strPath)});
    else
        WriteEvent(EVENTLOG_ERROR_TYPE, VM_EVENT_POLICY_UNUSABLE, {Text(a_strPath), Text(a_szReason)});
}

void ReportAddinRepaired(const char* a_szProgId, const char* a_szModule)
{
    WriteEvent(EVENTLOG_INFORMATION_TYPE, VM_EVENT_ADDIN_REPAIRED, {CurrentUser(), Text(a_szProgId), Text(a_szModule)});
}

std::string AuditSourceKey(const char* a_szSource)
{
    return std::string(c_szApplicationLog) + a_szSource;
}

bool RegisterAuditSource(const std::string& a_strMessageFile)
{
    UniqueKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, AuditSourceKey(AuditSourceName()).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    DWORD dwTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(a_strMessageFile.c_str()),
                          static_cast<DWORD>(a_strMessageFile.size() + 1)) == ERROR_SUCCESS &&
           RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes),
                          sizeof(dwTypes)) == ERROR_SUCCESS;
}

void UnregisterAuditSource()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, AuditSourceKey(AuditSourceName()).c_str());
}

} // namespace vm
