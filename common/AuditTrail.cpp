#include "common/AuditTrail.h"

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

constexpr DWORD c_dwRepeatMs = 60 * 1000;
constexpr size_t c_cRecent = 64;
// Events of one id written within a minute, whatever their texts: a loop of
// distinct request texts is bounded as well. Beyond it events are counted,
// and the count is written once the minute is over.
constexpr unsigned c_cPerIdMax = 20;
// More ids than the message file holds: a slot is never short.
constexpr size_t c_cIdBudgets = 16;
// An insert longer than this is cut; the log's own limit is about 32000.
constexpr size_t c_cchInsertMax = 2048;
constexpr char c_szApplicationLog[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The events written lately, by a hash of id and texts, so that a repeat
// within a minute is dropped. A bounded table: an old entry gives way.
struct RecentEvent {
    unsigned long long m_ullHash;
    DWORD m_dwTick;
};
SRWLOCK s_recentLock = SRWLOCK_INIT;
RecentEvent s_recent[c_cRecent];
size_t s_iNextRecent = 0;

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

// True when the event was not written within the last minute; it counts as
// written from now.
bool IsFirstWithinAMinute(unsigned long long a_ullHash)
{
    DWORD dwNow = GetTickCount();
    vm::CLockGuard lock(s_recentLock);
    bool bFirst = true;
    for (const RecentEvent& recent : s_recent) {
        if (recent.m_ullHash == a_ullHash && recent.m_dwTick != 0 && dwNow - recent.m_dwTick < c_dwRepeatMs)
            bFirst = false;
    }
    if (bFirst) {
        s_recent[s_iNextRecent] = {a_ullHash, dwNow ? dwNow : 1};
        s_iNextRecent = (s_iNextRecent + 1) % c_cRecent;
    }
    return bFirst;
}

// The events of one id within the current minute: written and held back.
struct IdBudget {
    DWORD m_dwId;
    DWORD m_dwWindowStart;
    unsigned m_cWritten;
    unsigned m_cSuppressed;
};
IdBudget s_budgets[c_cIdBudgets];

// A minute's count of events that were held back, for the event that tells it.
struct Suppressed {
    DWORD m_dwId;
    unsigned m_cEvents;
};

// True when an event of a_dwId may be written now; an event beyond the
// minute's limit is counted instead. The counts of minutes that are over
// go to a_pOver (at most c_cIdBudgets of them), to be written by the caller.
bool TakeIdBudget(DWORD a_dwId, Suppressed* a_pOver, size_t& a_cOver)
{
    DWORD dwNow = GetTickCount();
    vm::CLockGuard lock(s_recentLock);
    IdBudget* pBudget = nullptr;
    for (IdBudget& budget : s_budgets) {
        if (budget.m_dwId != 0 && dwNow - budget.m_dwWindowStart >= c_dwRepeatMs) {
            if (budget.m_cSuppressed != 0)
                a_pOver[a_cOver++] = {budget.m_dwId, budget.m_cSuppressed};
            budget = {budget.m_dwId, dwNow, 0, 0};
        }
        if (budget.m_dwId == a_dwId || (!pBudget && budget.m_dwId == 0))
            pBudget = &budget;
    }
    if (!pBudget)
        return true;
    if (pBudget->m_dwId == 0)
        *pBudget = {a_dwId, dwNow, 0, 0};
    if (pBudget->m_cWritten < c_cPerIdMax) {
        ++pBudget->m_cWritten;
        return true;
    }
    ++pBudget->m_cSuppressed;
    return false;
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

void WriteEvent(WORD a_wType, DWORD a_dwId, Inserts a_inserts)
{
    if (!IsFirstWithinAMinute(HashEvent(a_dwId, a_inserts)))
        return;
    Suppressed over[c_cIdBudgets];
    size_t cOver = 0;
    bool bWrite = TakeIdBudget(a_dwId, over, cOver);
    for (size_t i = 0; i < cOver; ++i)
        ReportEventTexts(EVENTLOG_WARNING_TYPE, VM_EVENT_EVENTS_SUPPRESSED,
                         {std::to_wstring(over[i].m_dwId), std::to_wstring(over[i].m_cEvents),
                          std::to_wstring(c_cPerIdMax)});
    if (bWrite)
        ReportEventTexts(a_wType, a_dwId, a_inserts);
}

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
    WriteEvent(EVENTLOG_WARNING_TYPE, a_dwId,
               {CurrentUser(), Text(a_refused.m_strDocument), Text(a_refused.m_strProgram),
                Text(a_refused.m_strPlugin), Text(a_refused.m_strRule), std::to_wstring(a_refused.m_nCode),
                Text(a_refused.m_strRequestText)});
}

// The policy file's state as this process last saw it.
enum : LONG { c_nPolicyUnknown, c_nPolicyUsable, c_nPolicyUnusable };
LONG s_nPolicyState = c_nPolicyUnknown;

} // namespace

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
