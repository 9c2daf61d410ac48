#pragma once
// The product's audit trail in the Application event log: what an
// administrator can read the next morning. One function per event kind, each
// taking plain texts; the user is added here. An event with the same id and
// the same texts is written at most once a minute per process, and at most
// a few events of one id whatever their texts, so a request repeated in a
// loop cannot flood the log; but the first event of each kind (id and rule)
// is always written (common/AuditTrailLimit.h). The limit is told when it is
// reached, and how many were held back once the minute is over or the
// process ends. Control characters in the texts are written as visible
// escapes ("\r\n", "\x1B"): no text can start a line that reads like an
// event of its own. The ids and message texts live in
// common/AuditMessages.mc; the hook's module is the message file.

#include <string>

namespace vm {

// The event source of this build: each build registers its own, with its own
// hook module as message file, so both builds can be installed side by side.
const char* AuditSourceName();

// A controlled application was started; a_szRoute: "launcher", "direct start"
// or "image viewer". The texts are wide, as the request named them: a name
// the ANSI code page cannot hold reaches the log as it is.
void ReportControlledStart(const std::wstring& a_strDocument, const std::wstring& a_strApplication,
                           const std::wstring& a_strPlugin, const char* a_szRoute);

// A start that the hook or the launcher refused, or that failed: what would
// have run, on which document, and why not. Each fact is an insert of its
// own, so that an administrator can filter on any of them; an empty text is
// written as "(none)".
struct RefusedStart {
    std::wstring m_strDocument;    // the document; the program itself for a request to start a program
    std::wstring m_strProgram;     // the program that would have started
    std::wstring m_strPlugin;      // the plug-in it would have received
    std::wstring m_strRule;        // the rule that refused, or what failed
    int m_nCode = 0;               // the hook's hInstApp answer, or the launcher's exit code
    std::wstring m_strRequestText; // the request's own text, where that text is the cause
};
// The hook refused a start or the start failed.
void ReportStartRefused(const RefusedStart& a_refused);
// The launcher refused a start or the start failed.
void ReportLauncherRefused(const RefusedStart& a_refused);
// A request that the control table or the policy controls was handed back
// unprotected, because what it needs cannot be served (no application, no
// command, no plug-in); a_strMissing says what.
void ReportHandedBackUnprotected(const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                                 const std::wstring& a_strPlugin, const std::string& a_strMissing);
// The state of the company policy file, told on every fresh read of it: an
// event is written only when it changes (unusable, then usable again), not
// for the first usable read of a process.
void ReportPolicyState(const std::string& a_strPath, bool a_bUsable, const char* a_szReason);
// The Office add-in upkeep started the registration of an add-in again.
void ReportAddinRepaired(const char* a_szProgId, const char* a_szModule);

// Writes the counts of events held back and not yet told; run when the
// process ends, and by whoever ends the audit trail's use earlier.
void TellHeldBack();

// The event source's registration under the Application log, naming
// a_strMessageFile; false when the registry could not be written.
bool RegisterAuditSource(const std::string& a_strMessageFile);
void UnregisterAuditSource();
// The registry key of a source, below HKEY_LOCAL_MACHINE.
std::string AuditSourceKey(const char* a_szSource);

} // namespace vm
