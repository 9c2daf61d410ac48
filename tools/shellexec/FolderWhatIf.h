#pragma once
// shellexec --dry-run --folder DIR: every file below a folder decided as the
// hook would decide it, one line a file and a count per verdict at the end.
// What decides a file is handed in: this part only walks, splits and prints.

#include <functional>
#include <string>
#include <vector>

// A hook's verdict in the listing's columns: "controlled", "finished by the
// hook", "handed back", "handed back unprotected", "refused (5)", "protection
// is off" or the words as they stand; the program and plug-in; the reason
// (what the verdict says beyond its kind). The product's dry run hands them
// out from its verdict's record; SplitVerdict reads them from the words of a
// hook that only has words.
struct CVerdictColumns {
    std::string m_strVerdict;
    std::string m_strProgram;
    std::string m_strPlugin;
    std::string m_strReason;
};
CVerdictColumns SplitVerdict(const std::string& a_strVerdict);

// A field of a comma-separated line, always quoted, an inner quote doubled.
// A spreadsheet may read the line with a comma, a semicolon or a tab as its
// separator, and begins a cell at each: a field of which any such cell would
// begin with a formula character (= + - @ tab CR, after blanks or quotes) is
// neutralized as spreadsheet tools advise: the field begins with a single
// quote, and a single quote follows each separator that such a cell follows.
std::string CsvField(const std::string& a_strText);

// The files below a_strDir, in its subfolders too, sorted by path. A folder
// reached through a link or junction is not entered (it could lead back up).
// False when a_strDir cannot be listed.
bool ListFilesBelow(const std::wstring& a_strDir, std::vector<std::wstring>& a_files);

// The verdict on one file in columns, as the hook gave it.
using FileDecider = std::function<CVerdictColumns(const std::wstring& a_strFile)>;

// Prints the listing of a_strDir with a_decide, as text or as CSV (then the
// counts go to the standard error, so that the standard output is one
// table). 0 when the folder was listed, 2 when it cannot be.
int RunFolderWhatIf(const std::wstring& a_strDir, bool a_bCsv, const FileDecider& a_decide);
