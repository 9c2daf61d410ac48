#pragma once
// Seeds from the project's own test data: the string literals of the test
// programs and the module's registration script.

#include <string>
#include <vector>

namespace vmfuzz {

// Windows path of the source tree (VM_SOURCE_DIR, a Unix path); empty when unset.
std::string SourceDir();

// The string literals of a C++ source file, adjacent literals joined, escapes
// undone. A missing file gives none.
std::vector<std::string> LiteralsOf(const std::string& a_strRelativePath);

std::string FileText(const std::string& a_strRelativePath);

} // namespace vmfuzz
