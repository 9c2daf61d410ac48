#pragma once
// The debugger texts of this process, taken as the tools take theirs, with the
// look-ups the tests need. Captured texts do not reach a debug viewer.

#include "tools/toolsupport/DebugTextCapture.h"

#include <string>

namespace vmtest {

class DebugCapture : public CDebugTextCapture {
public:
    // True when some captured text equals a_strText exactly.
    bool Contains(const std::string& a_strText) const;
    // Number of captured texts that equal a_strText.
    size_t Count(const std::string& a_strText) const;
    // Index of the first text equal to a_strText at or after a_iFrom; -1 when none.
    int IndexOf(const std::string& a_strText, size_t a_iFrom = 0) const;
    // All texts, one per line, for failure messages.
    std::string Dump() const;
};

} // namespace vmtest
