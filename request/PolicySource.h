#pragma once
// Where the policy a decision follows is read: the installed company policy
// file, or a draft file an administrator tries out before installing it.

#include <string>

struct PolicySource {
    std::string m_strDraft; // empty: the installed file

    bool IsDraft() const { return !m_strDraft.empty(); }
};
