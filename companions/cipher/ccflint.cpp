#include "companions/cipher/ccflint.h"

#include "common/FileIdentity.h"
#include "common/TrustedProgram.h"
#include "common/TrustedPublisher.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace cipherfmt {

namespace {

constexpr char c_szBlanks[] = " \t";

bool HasOuterBlanks(const std::string& a_strText)
{
    return !a_strText.empty() && (strchr(c_szBlanks, a_strText.front()) || strchr(c_szBlanks, a_strText.back()));
}

std::string Trimmed(const std::string& a_strText)
{
    size_t iFirst = a_strText.find_first_not_of(c_szBlanks);
    if (iFirst == std::string::npos)
        return std::string();
    return a_strText.substr(iFirst, a_strText.find_last_not_of(c_szBlanks) - iFirst + 1);
}

std::string Quoted(const std::string& a_strText)
{
    return "\"" + a_strText + "\"";
}

// Letters to change, add or drop to make one name of the other, ASCII letter
// case ignored; names are short, so the plain table serves.
size_t EditDistance(const std::string& a_strLeft, const std::string& a_strRight)
{
    std::vector<size_t> row(a_strRight.size() + 1);
    for (size_t j = 0; j < row.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a_strLeft.size(); ++i) {
        size_t nDiagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= a_strRight.size(); ++j) {
            size_t nAbove = row[j];
            bool bSame = EqualsIgnoringAsciiCase(a_strLeft.substr(i - 1, 1), a_strRight.substr(j - 1, 1));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, nDiagonal + (bSame ? 0 : 1)});
            nDiagonal = nAbove;
        }
    }
    return row.back();
}

// The setting a name that is none was most likely meant to be; null when it
// is no near miss of any.
const char* NearestSetting(const std::string& a_strName)
{
    if (a_strName.size() > 64)
        return nullptr;
    for (const char* szSetting : c_szSettingFields)
        if (EditDistance(a_strName, szSetting) <= 2)
            return szSetting;
    return nullptr;
}

bool EndsInExe(const std::string& a_strName)
{
    return a_strName.size() > 4 && EqualsIgnoringAsciiCase(a_strName.substr(a_strName.size() - 4), ".exe");
}

bool IsFlagField(const std::string& a_strName)
{
    for (const char* szFlag : c_szFlagFields)
        if (EqualsIgnoringAsciiCase(a_strName, szFlag))
            return true;
    return false;
}

class CLint final {
public:
    explicit CLint(const std::string& a_strPluginFolder) : m_strPluginFolder(a_strPluginFolder) {}

    void Field(const CcfField& a_field, const std::vector<CcfField>& a_earlier);
    std::vector<CcfWarning> Take() { return std::move(m_warnings); }

private:
    void Warn(const CcfField& a_field, const std::string& a_strText)
    {
        m_warnings.push_back({a_field.nLine, a_strText});
    }
    void Blanks(const CcfField& a_field);
    bool ApplicationName(const CcfField& a_field, const std::string& a_strName);
    void Plugin(const CcfField& a_field, const std::string& a_strName, const std::string& a_strPlugin);
    void TrustedFolders(const CcfField& a_field, const std::string& a_strValue);
    void TrustedPublishers(const CcfField& a_field);

    std::string m_strPluginFolder;
    std::vector<CcfWarning> m_warnings;
};

void CLint::Blanks(const CcfField& a_field)
{
    if (HasOuterBlanks(a_field.strName))
        Warn(a_field, "the name " + Quoted(a_field.strName) + " has blanks at its start or end; they are part of "
                      "the name, so this is not the field " + Trimmed(a_field.strName));
    if (HasOuterBlanks(a_field.strValue))
        Warn(a_field, "the value " + Quoted(a_field.strValue) + " of " + Trimmed(a_field.strName) +
                          " has blanks at its start or end; they are part of the value");
}

// The reader takes the plug-in's file name as it stands and looks for it in
// the product folder only.
void CLint::Plugin(const CcfField& a_field, const std::string& a_strName, const std::string& a_strPlugin)
{
    const std::string strEffect = ", so " + a_strName + " will not be controlled";
    if (a_strPlugin.empty())
        Warn(a_field, a_strName + " names no plug-in" + strEffect);
    else if (a_strPlugin.find_first_of("\\/:") != std::string::npos)
        Warn(a_field, a_strName + " names the plug-in " + Quoted(a_strPlugin) + ", which is not a file name: "
                          "plug-ins lie in " + m_strPluginFolder + strEffect);
    else if (!vm::IsExistingFile(m_strPluginFolder + "\\" + a_strPlugin)) {
        Warn(a_field, a_strName + " names the plug-in " + a_strPlugin + ", which is not a file in " +
                          m_strPluginFolder + strEffect);
        m_warnings.back().bPluginNotFound = true;
    }
}

bool CLint::ApplicationName(const CcfField& a_field, const std::string& a_strName)
{
    const std::string strWhy = WhyNamesNoProgram(a_strName);
    if (!strWhy.empty())
        Warn(a_field, strWhy);
    return strWhy.empty();
}

// The path an entry is judged by: its folder's final path where it exists;
// where it does not (a policy is often sealed on another machine than the
// ones it serves), the full path its text names.
std::wstring JudgedPath(const std::string& a_strEntry)
{
    std::wstring strEntry = vm::WideFromAnsi(a_strEntry), strFinal;
    if (vm::GetFinalPath(strEntry, strFinal))
        return strFinal;
    wchar_t szFull[MAX_PATH];
    DWORD cch = GetFullPathNameW(strEntry.c_str(), MAX_PATH, szFull, nullptr);
    return cch > 0 && cch < MAX_PATH ? std::wstring(szFull, cch) : strEntry;
}

void CLint::TrustedFolders(const CcfField& a_field, const std::string& a_strValue)
{
    for (const std::string& strEntry : vm::SplitTrustedFolders(a_strValue.c_str())) {
        const std::string strEntryText = "the " + std::string(vm::c_szTrustedFoldersField) + " entry " + Quoted(strEntry);
        const char* szUnfit = nullptr;
        if (!vm::IsFullPath(strEntry))
            Warn(a_field, strEntryText + " is not a full path (X:\\... or \\\\server\\share\\...), so it trusts no folder");
        else if ((szUnfit = vm::WhyTrustedFolderIsUnfit(JudgedPath(strEntry))) != nullptr)
            Warn(a_field, strEntryText + " trusts no folder: " + szUnfit);
    }
}

// Each entry a certificate thumbprint as Windows shows it; a value that
// lists none leaves the publisher rule off.
void CLint::TrustedPublishers(const CcfField& a_field)
{
    const std::vector<std::string> entries = vm::SplitTrustedPublishers(a_field.strValue.c_str());
    if (entries.empty())
        Warn(a_field, std::string(vm::c_szTrustedPublishersField) + " lists no thumbprint, so the publisher rule is off");
    for (const std::string& strEntry : entries)
        if (const char* szWhy = vm::WhyThumbprintIsMalformed(strEntry))
            Warn(a_field, "the " + std::string(vm::c_szTrustedPublishersField) + " entry " + Quoted(strEntry) +
                              " is no certificate thumbprint: " + szWhy + ", so it lists no publisher");
}

void CLint::Field(const CcfField& a_field, const std::vector<CcfField>& a_earlier)
{
    Blanks(a_field);
    for (const CcfField& earlier : a_earlier) {
        if (&earlier == &a_field)
            break;
        if (EqualsIgnoringAsciiCase(earlier.strName, a_field.strName)) {
            Warn(a_field, Trimmed(a_field.strName) + " is given again (first on line " +
                              std::to_string(earlier.nLine) + "); only the first counts");
            return;
        }
    }
    const std::string strName = Trimmed(a_field.strName), strValue = Trimmed(a_field.strValue);
    if (!IsSettingField(strName) && ApplicationName(a_field, strName))
        Plugin(a_field, strName, strValue);
    else if (IsFlagField(strName) && strValue != "0" && strValue != "1")
        Warn(a_field, strName + " is " + Quoted(a_field.strValue) + ", neither 0 nor 1; it is taken as 0");
    else if (EqualsIgnoringAsciiCase(strName, vm::c_szTrustedFoldersField))
        TrustedFolders(a_field, a_field.strValue);
    else if (EqualsIgnoringAsciiCase(strName, vm::c_szTrustedPublishersField))
        TrustedPublishers(a_field);
}

} // namespace

// An application field names a program by its file name: a near miss of a
// setting, a path or a name without ".exe" names none the hook would ask for.
std::string WhyNamesNoProgram(const std::string& a_strName)
{
    if (const char* szSetting = NearestSetting(a_strName))
        return a_strName + " is no setting and no program: did you mean " + szSetting + "?";
    if (a_strName.find_first_of("\\/:") != std::string::npos)
        return "the application name " + Quoted(a_strName) + " holds a path; the policy names programs by "
               "their file name alone, so it names none";
    if (!EndsInExe(a_strName))
        return "the application name " + Quoted(a_strName) + " does not end in .exe, so it names no program";
    return std::string();
}

bool NamesProgram(const std::string& a_strName)
{
    return !IsSettingField(a_strName) && WhyNamesNoProgram(a_strName).empty();
}

std::vector<ControlTableFinding> LintControlTableUse(const ControlTableUse& a_use,
                                                     const std::vector<CcfField>* a_pFields)
{
    if (a_use.uControlType == 0 || a_use.uControlType > 4)
        return {};
    const std::string strType = a_use.strExt + " " + std::to_string(a_use.uControlType) + " ";
    const std::string strHandedBack =
        ", so the hook cannot serve " + a_use.strExt + " documents: they open unprotected or not at all";
    const std::string strCommandKey = "HKCR\\Applications\\" + a_use.strApplication + "\\shell\\open\\command";
    if (a_use.strApplication.empty())
        return {{true, "the entry names no application" + strHandedBack,
                 "name one: vmcheck --control-table add " + strType + "APPLICATION.EXE"}};
    if (a_use.strCommandKey.empty())
        return {{true, "its application " + a_use.strApplication + " is not registered (no " + strCommandKey + ")" +
                           strHandedBack,
                 "install " + a_use.strApplication + ", or register its command: reg add " + Quoted(strCommandKey) +
                     " /ve /d \"\\\"<full path of " + a_use.strApplication + ">\\\" \\\"%1\\\"\" /f, or name an "
                     "installed application: vmcheck --control-table add " + strType + "APPLICATION.EXE"}};
    if (a_use.strProgram.empty())
        return {{true, "the command of " + a_use.strApplication + " (" + a_use.strCommand + ") names no existing program" +
                           strHandedBack,
                 "install " + a_use.strApplication + " where its command says, or correct HKCR\\" + a_use.strCommandKey}};
    // rundll32 is never controlled: such an entry serves the image viewer's rule.
    std::string strName = a_use.strProgram.substr(a_use.strProgram.find_last_of('\\') + 1);
    if (!a_pFields || EqualsIgnoringAsciiCase(strName, "rundll32.exe"))
        return {};
    const CcfField* pField = FindCcfField(*a_pFields, strName.c_str());
    if (pField && !IsSettingField(pField->strName) && !Trimmed(pField->strValue).empty())
        return {};
    // The hook hands such a document back unprotected and says so in an event.
    return {{true, a_use.strExt + " documents open with " + strName + ", for which the policy registers no plug-in, "
                    "so they open without protection", "add " + strName + "=<plug-in> to the policy, or remove the entry"}};
}

std::vector<CcfWarning> LintCcfFields(const std::vector<CcfField>& a_fields, const std::string& a_strPluginFolder)
{
    CLint lint(a_strPluginFolder);
    for (const CcfField& field : a_fields)
        lint.Field(field, a_fields);
    return lint.Take();
}

} // namespace cipherfmt
