#pragma once
// vmcheck --control-table: lists, adds and removes the entries of the
// product's per-extension control table. On 64-bit Windows each build's hook
// reads the table of its own registry view (Explorer's the 64-bit one, 32-bit
// programs' the 32-bit one), and a document type must be controlled alike in
// both: add and remove write both views there, whichever build's vmcheck
// runs; list shows the view of vmcheck's own build.

#include <string>
#include <vector>

struct CControlTableCommand {
    enum class Verb { List, Add, Remove };
    Verb m_verb = Verb::List;
    std::string m_strExt;
    unsigned long m_uControlType = 0;
    std::string m_strApplication;
};

// The command from the arguments after --control-table; false with the
// problem in words when they make none.
bool ParseControlTableCommand(const std::vector<std::string>& a_args, CControlTableCommand& a_command,
                              std::string& a_strError);

// Carries the command out: exit code 0 done, 1 not done (said why).
int RunControlTableCommand(const CControlTableCommand& a_command);

// An entry of the table in this build's view, as the hook reads it.
struct CControlEntry {
    std::string m_strExt;
    unsigned long m_uControlType; // 0 when the entry has none the hook reads
    std::string m_strApplication; // empty when it names none the hook reads
};
std::vector<CControlEntry> ReadControlEntries();

// The command the hook reads for a control-table application:
// HKCR\Applications\<application>\shell\open\command, else ...\edit\command.
// False when it has neither.
bool FindApplicationCommand(const std::string& a_strApplication, std::string& a_strKey, std::string& a_strCommand);

// True on 64-bit Windows, for either build: there are two registry views.
bool IsSixtyFourBitWindows();

// An entry that differs between the two views, in words, with its fix; an
// empty extension when the table could not be read at all.
struct CViewDifference {
    std::string m_strExt;
    std::string m_strReason;
    std::string m_strFix;
};
// The entries that differ between the 64-bit and the 32-bit view, by
// extension; for 64-bit Windows only.
std::vector<CViewDifference> CompareControlTableViews();
