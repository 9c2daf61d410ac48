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
};

// The warnings for the fields of one policy, by line. Application fields must
// name a plug-in file of a_strPluginFolder (a full path, without a trailing
// backslash).
std::vector<CcfWarning> LintCcfFields(const std::vector<CcfField>& a_fields, const std::string& a_strPluginFolder);

} // namespace cipherfmt
