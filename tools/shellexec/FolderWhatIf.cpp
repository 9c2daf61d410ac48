#include "tools/shellexec/FolderWhatIf.h"

#include "common/FileIdentity.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

// After this many folders the walk stops: a listing, not a crawl of a disk.
constexpr size_t c_cMaxFolders = 100000;

bool StartsWith(const std::string& a_strText, const char* a_szPrefix, std::string& a_strRest)
{
    size_t cch = std::char_traits<char>::length(a_szPrefix);
    if (a_strText.compare(0, cch, a_szPrefix) != 0)
        return false;
    a_strRest = a_strText.substr(cch);
    return true;
}

// "A <a_szJoin> P[ (note)]": the application, the plug-in and the note.
void SplitNamed(const std::string& a_strRest, const char* a_szJoin, CVerdictColumns& a_columns)
{
    size_t iJoin = a_strRest.find(a_szJoin);
    if (iJoin == std::string::npos) {
        a_columns.m_strReason = a_strRest;
        return;
    }
    a_columns.m_strProgram = a_strRest.substr(0, iJoin);
    std::string strAfter = a_strRest.substr(iJoin + std::char_traits<char>::length(a_szJoin));
    size_t iNote = strAfter.find(" (");
    a_columns.m_strPlugin = strAfter.substr(0, iNote);
    if (iNote != std::string::npos && strAfter.back() == ')')
        a_columns.m_strReason = strAfter.substr(iNote + 2, strAfter.size() - iNote - 3);
}

// A character that makes a spreadsheet read the cell it begins as a formula.
bool StartsFormula(char a_ch)
{
    return a_ch == '=' || a_ch == '+' || a_ch == '-' || a_ch == '@' || a_ch == '\t' || a_ch == '\r';
}

// Where some reading of a line begins a new cell: the list separators a
// spreadsheet may be set to (comma, semicolon, tab) and a line break, which
// begins a new row. None is ever the second byte of a double-byte character.
bool IsCellSeparator(char a_ch)
{
    return a_ch == ',' || a_ch == ';' || a_ch == '\t' || a_ch == '\n' || a_ch == '\r';
}

// Whether a cell that some reading begins at a_iStart is read as a formula:
// blanks (an import may trim them) and double quotes (an import may take
// them for the cell's own) before the formula character do not help.
bool CellStartsFormula(const std::string& a_strText, size_t a_iStart)
{
    size_t iFirst = a_strText.find_first_not_of(" \"", a_iStart);
    return iFirst != std::string::npos && StartsFormula(a_strText[iFirst]);
}

// Prints a line as the tool's other lines are printed: plain line feeds.
void PrintTo(FILE* a_pFile, const std::string& a_strLine)
{
    fwrite(a_strLine.data(), 1, a_strLine.size(), a_pFile);
    fputc('\n', a_pFile);
    fflush(a_pFile);
}

std::string Row(bool a_bCsv, const std::string& a_strDocument, const CVerdictColumns& a_columns)
{
    const std::string* fields[] = {&a_strDocument, &a_columns.m_strVerdict, &a_columns.m_strProgram,
                                   &a_columns.m_strPlugin, &a_columns.m_strReason};
    std::string strRow;
    for (const std::string* pField : fields) {
        if (pField != fields[0])
            strRow += a_bCsv ? "," : " | ";
        strRow += a_bCsv ? CsvField(*pField) : (pField->empty() ? "-" : *pField);
    }
    return strRow;
}

} // namespace

CVerdictColumns SplitVerdict(const std::string& a_strVerdict)
{
    CVerdictColumns columns;
    std::string strRest;
    if (StartsWith(a_strVerdict, "controlled: ", strRest)) {
        columns.m_strVerdict = "controlled";
        SplitNamed(strRest, " starts through the launcher with ", columns);
        columns.m_strReason = "starts through the launcher" +
                              (columns.m_strReason.empty() ? std::string() : "; " + columns.m_strReason);
    } else if (StartsWith(a_strVerdict, "finished by the hook: ", strRest)) {
        columns.m_strVerdict = "finished by the hook";
        size_t iStarts = strRest.rfind(" starts directly");
        columns.m_strProgram = strRest.substr(0, iStarts);
        columns.m_strReason = "starts directly";
    } else if (StartsWith(a_strVerdict, "finished by the hook (", strRest) && !strRest.empty()) {
        columns.m_strVerdict = "finished by the hook";
        columns.m_strReason = strRest.substr(0, strRest.size() - 1);
    } else if (StartsWith(a_strVerdict, "handed back to Windows", strRest)) {
        columns.m_strVerdict = "handed back";
        // Protection that fell open is a verdict of its own.
        if (StartsWith(strRest, " unprotected", strRest))
            columns.m_strVerdict = "handed back unprotected";
        if (strRest.size() > 3 && strRest.compare(0, 2, " (") == 0 && strRest.back() == ')')
            columns.m_strReason = strRest.substr(2, strRest.size() - 3);
    } else if (a_strVerdict.compare(0, 9, "refused (") == 0 && a_strVerdict.find("): ") != std::string::npos) {
        size_t iColon = a_strVerdict.find("): ");
        columns.m_strVerdict = a_strVerdict.substr(0, iColon + 1);
        columns.m_strReason = a_strVerdict.substr(iColon + 3);
    } else if (size_t iColon = a_strVerdict.find(": "); iColon != std::string::npos) {
        columns.m_strVerdict = a_strVerdict.substr(0, iColon);
        columns.m_strReason = a_strVerdict.substr(iColon + 2);
    } else {
        columns.m_strVerdict = a_strVerdict;
    }
    return columns;
}

std::string CsvField(const std::string& a_strText)
{
    bool bNeutralize = CellStartsFormula(a_strText, 0);
    for (size_t i = 0; i < a_strText.size() && !bNeutralize; ++i)
        bNeutralize = IsCellSeparator(a_strText[i]) && CellStartsFormula(a_strText, i + 1);
    std::string strField = bNeutralize ? "\"'" : "\"";
    for (size_t i = 0; i < a_strText.size(); ++i) {
        strField += a_strText[i];
        if (a_strText[i] == '"')
            strField += '"';
        else if (IsCellSeparator(a_strText[i]) && CellStartsFormula(a_strText, i + 1))
            strField += '\'';
    }
    return strField + "\"";
}

bool ListFilesBelow(const std::wstring& a_strDir, std::vector<std::wstring>& a_files)
{
    std::vector<std::wstring> folders = {a_strDir};
    for (size_t iFolder = 0; iFolder < folders.size() && iFolder < c_cMaxFolders; ++iFolder) {
        std::wstring strFolder = folders[iFolder];
        if (!strFolder.empty() && strFolder.back() != L'\\')
            strFolder += L'\\';
        WIN32_FIND_DATAW data;
        HANDLE hFind = FindFirstFileW((strFolder + L"*").c_str(), &data);
        if (hFind == INVALID_HANDLE_VALUE) {
            if (iFolder == 0)
                return false;
            continue;
        }
        do {
            std::wstring strName = data.cFileName;
            if (strName == L"." || strName == L"..")
                continue;
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                a_files.push_back(strFolder + strName);
            else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                folders.push_back(strFolder + strName);
        } while (FindNextFileW(hFind, &data));
        FindClose(hFind);
    }
    std::sort(a_files.begin(), a_files.end());
    return true;
}

int RunFolderWhatIf(const std::wstring& a_strDir, bool a_bCsv, const FileDecider& a_decide)
{
    std::vector<std::wstring> files;
    if (!vm::IsExistingFolder(a_strDir) || !ListFilesBelow(a_strDir, files)) {
        std::fprintf(stderr, "shellexec: cannot list the folder %s\n", vm::AnsiRendering(a_strDir).c_str());
        return 2;
    }
    std::map<std::string, size_t> counts;
    if (a_bCsv)
        PrintTo(stdout, "\"document\",\"verdict\",\"program\",\"plug-in\",\"reason\"");
    for (const std::wstring& strFile : files) {
        CVerdictColumns columns = a_decide(strFile);
        ++counts[columns.m_strVerdict];
        PrintTo(stdout, Row(a_bCsv, vm::AnsiRendering(strFile), columns));
    }
    std::string strCounts = std::to_string(files.size()) + (files.size() == 1 ? " file" : " files");
    for (const auto& count : counts)
        strCounts += (count.first == counts.begin()->first ? ": " : ", ") + std::to_string(count.second) + " " +
                     count.first;
    PrintTo(a_bCsv ? stderr : stdout, "total: " + strCounts);
    return 0;
}
