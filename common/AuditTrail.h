#pragma once
// The product's audit trail in the Application event log: what an
// administrator can read the next morning. One function per event kind, each
// taking plain texts; the user is added here. An event with the same id and
// the same texts is written at most once a minute per process, and at most
// a few events of one id whatever their texts, so a request repeated in a
// loop cannot flood the log; how many were held back is written once the
// minute is over. Control characters in the texts are written as visible
// escapes ("\r\n", "\x1B"): no text can start a line that reads like an
// event of its own. The ids and message texts live in
// common/AuditMessages.mc; the hook's module is the message file.

#include <string>

namespace vm {

// The event source of this build: each build registers its own, with its own
// hook module as message file, so both builds can be installed side by side.
const char* AuditSourceName();

// A controlled application was started; a_szRoute: "launcher", "direct start"
// or "image viewer".
void ReportControlledStart(const std::string& a_strDocument, const std::string& a_strApplication,
                           const std::string& a_strPlugin, const char* a_szRoute);
// The hook refused a start or the start failed; a_nCode is the hInstApp answer.
void ReportStartRefused(const std::string& a_strRequest, const std::string& a_strProgram,
                        const std::string& a_strReason, int a_nCode);
// The launcher refused a start or the start failed; a_nExitCode is its exit code.
void ReportLauncherRefused(const std::string& a_strRequest, const std::string& a_strProgram,
                           const std::string& a_strReason, int a_nExitCode);
// The state of the company policy file, told on every fresh read of it: an
// event is written only when it changes (unusable, then usable again), not
// for the first usable read of a process.
void ReportPolicyState(const std::string& a_strPath, bool a_bUsable, const char* a_szReason);
// The Office add-in upkeep started the registration of an add-in again.
void ReportAddinRepaired(const char* a_szProgId, const char* a_szModule);

// The event source's registration under the Application log, naming
// a_strMessageFile; false when the registry could not be written.
bool RegisterAuditSource(const std::string& a_strMessageFile);
void UnregisterAuditSource();
// The registry key of a source, below HKEY_LOCAL_MACHINE.
std::string AuditSourceKey(const char* a_szSource);

} // namespace vm
