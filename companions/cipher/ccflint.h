#pragma once
// Warnings about a policy that is valid yet will not work as its author
// meant. The reader takes every field as it stands and answers the first of
// a name, so a blank around a name, a field given twice or a plug-in that is
// not there leaves an application uncontrolled without a word; the
// administrators' tool says so before the policy is deployed.

#include "companions/cipher/ccfformat.h"

#include <string>
#include <vector>

namespace cipherfmt {

struct CcfWarning {
    size_t nLine;
    std::string strText;
    // The plug-in is no file of the plug-in folder: a tool that guessed that
    // folder says how to name the right one.
    bool bPluginNotFound = false;
};

// The warnings for the fields of one policy, by line. Application fields must
// name a plug-in file of a_strPluginFolder (a full path, without a trailing
// backslash).
std::vector<CcfWarning> LintCcfFields(const std::vector<CcfField>& a_fields, const std::string& a_strPluginFolder);

// Why a field of this name, which is no setting, registers no program the
// hook would ask for (a near miss of a setting, a path, a name without
// ".exe"), in words; empty when it names one.
std::string WhyNamesNoProgram(const std::string& a_strName);
// True when a field of this name registers a program, as the lint reads it;
// vmcheck reads no other field as an application and its plug-in.
bool NamesProgram(const std::string& a_strName);

// A control-table entry as a machine serves it: what the hook finds for a
// document of its type. The registry is the machine's, so the tool that
// reads it (vmcheck) fills this in.
struct ControlTableUse {
    std::string strExt;
    unsigned long uControlType = 0; // as the hook reads it; 0 not controlled
    std::string strApplication;     // the application the entry names; empty: none
    std::string strCommandKey;      // below HKCR, the command the hook reads for it; empty: none
    std::string strCommand;         // that command as stored
    std::string strProgram;         // the existing program the command starts (long path); empty: none
};

// What keeps a controlled type's documents from protection: a failure when
// the type cannot be served at all (the hook hands its documents back to
// Windows unprotected), else a warning; each with its fix.
struct ControlTableFinding {
    bool bFailure;
    std::string strText;
    std::string strFix;
};

// a_pFields: the valid policy's fields, or null without a valid policy (then
// the policy is not asked).
std::vector<ControlTableFinding> LintControlTableUse(const ControlTableUse& a_use,
                                                     const std::vector<CcfField>* a_pFields);

} // namespace cipherfmt
