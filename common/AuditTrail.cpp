#include "common/AuditTrail.h"

#include "AuditMessages.h"
#include "common/Handle.h"
#include "common/LockGuard.h"

#include <windows.h>

#include <cstdio>
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

unsigned long long HashEvent(DWORD a_dwId, const std::initializer_list<std::string>& a_inserts)
{
    unsigned long long ullHash = 14695981039346656037ull ^ a_dwId;
    for (const std::string& strInsert : a_inserts) {
        for (unsigned char ch : strInsert)
            ullHash = (ullHash ^ ch) * 1099511628211ull;
        ullHash = (ullHash ^ 0x100) * 1099511628211ull; // keeps "ab","c" apart from "a","bc"
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
// becomes a visible escape, so that no text can start a line of its own that
// reads like another event. The text is cut to c_cchInsertMax.
std::string VisibleInsert(const std::string& a_strInsert)
{
    std::string strVisible;
    for (char ch : a_strInsert) {
        if (strVisible.size() >= c_cchInsertMax)
            break;
        unsigned char uch = static_cast<unsigned char>(ch);
        if (uch == '\r') {
            strVisible += "\\r";
        } else if (uch == '\n') {
            strVisible += "\\n";
        } else if (uch < 0x20 || uch == 0x7F) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\x%02X", uch);
            strVisible += szEscape;
        } else {
            strVisible += ch;
        }
    }
    return strVisible.size() > c_cchInsertMax ? strVisible.substr(0, c_cchInsertMax) : strVisible;
}

void ReportEventTexts(WORD a_wType, DWORD a_dwId, std::initializer_list<std::string> a_inserts)
{
    std::string strings[8];
    const char* szStrings[8] = {};
    WORD cStrings = 0;
    for (const std::string& strInsert : a_inserts) {
        if (cStrings == 8)
            break;
        strings[cStrings] = VisibleInsert(strInsert);
        szStrings[cStrings] = strings[cStrings].c_str();
        ++cStrings;
    }
    HANDLE hSource = RegisterEventSourceA(nullptr, AuditSourceName());
    if (!hSource)
        return;
    ReportEventA(hSource, a_wType, 0, a_dwId, nullptr, cStrings, 0, szStrings, nullptr);
    DeregisterEventSource(hSource);
}

std::string CurrentUser()
{
    char szUser[257] = {}; // UNLEN + 1
    DWORD cch = sizeof(szUser);
    if (!GetUserNameA(szUser, &cch))
        return "(unknown)";
    return szUser;
}

void WriteEvent(WORD a_wType, DWORD a_dwId, std::initializer_list<std::string> a_inserts)
{
    if (!IsFirstWithinAMinute(HashEvent(a_dwId, a_inserts)))
        return;
    Suppressed over[c_cIdBudgets];
    size_t cOver = 0;
    bool bWrite = TakeIdBudget(a_dwId, over, cOver);
    for (size_t i = 0; i < cOver; ++i)
        ReportEventTexts(EVENTLOG_WARNING_TYPE, VM_EVENT_EVENTS_SUPPRESSED,
                         {std::to_string(over[i].m_dwId), std::to_string(over[i].m_cEvents),
                          std::to_string(c_cPerIdMax)});
    if (bWrite)
        ReportEventTexts(a_wType, a_dwId, a_inserts);
}

std::string Text(const std::string& a_str)
{
    return a_str.empty() ? "(none)" : a_str;
}

// The policy file's state as this process last saw it.
enum : LONG { c_nPolicyUnknown, c_nPolicyUsable, c_nPolicyUnusable };
LONG s_nPolicyState = c_nPolicyUnknown;

} // namespace

const char* AuditSourceName()
{
    return sizeof(void*) == 8 ? "Korvane Lumidex (x64)" : "Korvane Lumidex";
}

void ReportControlledStart(const std::string& a_strDocument, const std::string& a_strApplication,
                           const std::string& a_strPlugin, const char* a_szRoute)
{
    WriteEvent(EVENTLOG_INFORMATION_TYPE, VM_EVENT_CONTROLLED_START,
               {CurrentUser(), Text(a_strDocument), Text(a_strApplication), Text(a_strPlugin), a_szRoute});
}

void ReportStartRefused(const std::string& a_strRequest, const std::string& a_strProgram,
                        const std::string& a_strReason, int a_nCode)
{
    WriteEvent(EVENTLOG_WARNING_TYPE, VM_EVENT_START_REFUSED,
               {CurrentUser(), Text(a_strRequest), Text(a_strProgram), a_strReason, std::to_string(a_nCode)});
}

void ReportLauncherRefused(const std::string& a_strRequest, const std::string& a_strProgram,
                           const std::string& a_strReason, int a_nExitCode)
{
    WriteEvent(EVENTLOG_WARNING_TYPE, VM_EVENT_LAUNCHER_REFUSED,
               {CurrentUser(), Text(a_strRequest), Text(a_strProgram), a_strReason, std::to_string(a_nExitCode)});
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
        WriteEvent(EVENTLOG_ERROR_TYPE, VM_EVENT_POLICY_UNUSABLE, {Text(a_strPath), a_szReason});
}

void ReportAddinRepaired(const char* a_szProgId, const char* a_szModule)
{
    WriteEvent(EVENTLOG_INFORMATION_TYPE, VM_EVENT_ADDIN_REPAIRED, {CurrentUser(), a_szProgId, a_szModule});
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
