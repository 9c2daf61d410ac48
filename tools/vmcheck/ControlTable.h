#pragma once
// vmcheck --control-table: lists, adds and removes the entries of the
// product's per-extension control table. Each build's vmcheck works on its
// own registry view, the one its hook reads: on 64-bit Windows the 32-bit
// vmcheck writes the 32-bit view (for 32-bit programs) and the x64 vmcheck
// the 64-bit view (for Explorer).

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
