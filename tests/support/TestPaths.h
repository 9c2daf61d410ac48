#pragma once
// Paths the tests work with, as Windows paths.

#include <string>

namespace vmtest {

// Directory of the running test program, without a trailing backslash.
std::string TestDir();
// build/bin: the product binaries side by side, as installed.
std::string BinDir();
// A file of the source tree, by its path below the tree's root ("docs\\tools.md").
std::string SourcePath(const std::string& a_strRelative);
// A fresh empty scratch directory below the test directory; removed by the
// next call with the same name.
std::string MakeScratchDir(const std::string& a_strName);
// Removes a directory tree; missing is fine.
void RemoveTree(const std::string& a_strDir);
void WriteFile(const std::string& a_strPath, const std::string& a_strContent);
bool FileExists(const std::string& a_strPath);
std::string ReadFile(const std::string& a_strPath);

} // namespace vmtest
