#pragma once
// How the audit trail keeps a request repeated in a loop from flooding the
// log, apart from the writing, so that its minute can be run on a clock of
// the caller's: an event with the same id and texts is written at most once
// a minute; at most c_cAuditPerIdMax events of one id are written within a
// minute, whatever their texts; beyond that they are counted. The first
// event of each kind (its id and, for a refusal, its rule) is never held
// back: a flood of one refusal cannot hide another. The minute's limit is
// told when it is first reached, and the count held back once the minute is
// over or the process ends.

#include <windows.h>

#include <cstddef>

namespace vm {

// Milliseconds that wrap as GetTickCount's do.
using AuditClock = DWORD(WINAPI*)();

constexpr DWORD c_dwAuditMinuteMs = 60 * 1000;
constexpr unsigned c_cAuditPerIdMax = 20;
// More ids than the message file holds: a slot is never short.
constexpr size_t c_cAuditIds = 16;

// The events of one id held back within a minute.
struct AuditHeldBack {
    DWORD m_dwId;
    unsigned m_cEvents;
};

// What to write for one event offered to the limiter.
struct AuditAdmission {
    bool m_bWrite = false;
    // This event was the first one over its id's limit in this minute.
    bool m_bLimitReached = false;
    // The counts of minutes that are over, to be told before the event.
    AuditHeldBack m_over[c_cAuditIds] = {};
    size_t m_cOver = 0;
};

class CAuditLimiter final {
public:
    explicit CAuditLimiter(AuditClock a_pfnClock);
    CAuditLimiter(const CAuditLimiter&) = delete;
    CAuditLimiter& operator=(const CAuditLimiter&) = delete;

    // a_ullTexts: a hash of the id and every text; a_ullKind: a hash of the
    // id and the rule (of the id alone for an event without one).
    AuditAdmission Admit(DWORD a_dwId, unsigned long long a_ullTexts, unsigned long long a_ullKind);
    // The counts not yet told, at most c_cAuditIds; they count as told.
    size_t TakeHeldBack(AuditHeldBack (&a_held)[c_cAuditIds]);

private:
    struct Recent {
        unsigned long long m_ullHash;
        DWORD m_dwTick;
    };
    struct IdBudget {
        DWORD m_dwId;
        DWORD m_dwWindowStart;
        unsigned m_cWritten;
        unsigned m_cHeld;
        bool m_bLimitTold;
    };
    static constexpr size_t c_cRecent = 64;
    // Kinds told since the process began; a kind beyond the table is held to
    // its id's limit like any other event (the rules are the product's own
    // texts: far fewer than this).
    static constexpr size_t c_cKinds = 128;

    bool IsFirstWithinAMinute(unsigned long long a_ullTexts, DWORD a_dwNow);
    bool IsNewKind(unsigned long long a_ullKind);
    IdBudget* BudgetOf(DWORD a_dwId, DWORD a_dwNow, AuditAdmission& a_admission);

    AuditClock m_pfnClock;
    SRWLOCK m_lock = SRWLOCK_INIT;
    Recent m_recent[c_cRecent] = {};
    size_t m_iNextRecent = 0;
    unsigned long long m_kinds[c_cKinds] = {};
    size_t m_cKinds = 0;
    IdBudget m_budgets[c_cAuditIds] = {};
};

} // namespace vm
