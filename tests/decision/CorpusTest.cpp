// Association commands as installers, the platform's own defaults and Wine's
// default associations write them, each registered as a document type's open
// command and offered to the hook with a policy that registers the program
// the platform starts for it. Where the test places that program itself (a
// copy of the probe), Wine's ShellExecuteEx starts the same document and
// says which program it started.

#include "common/FileIdentity.h"
#include "decision/LxShellExt.h"
#include "decision/Verdict.h"
#include "module/RequestOffer.h"
#include "start/StartSink.h"

#include "tests/soak/RequestMix.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <set>

namespace {

const char c_szPlugin[] = "vmtestplug.dll";

enum Kind {
    Placed,     // the test places the program, and Wine's ShellExecuteEx starts it
    Present,    // the prefix's own program; not started by the test
    AppPaths,   // placed, found through App Paths, which Wine's process creation does not read
    Planted,    // placed beside a planted C:\Program.exe, which the platform itself starts
    UserVariable, // placed; the process's own ProgramFiles names a planted copy
    Rundll,     // rundll32 runs any module it is given: handed back by design
    Batch,      // a batch file, placed: the command interpreter would run in its place
    NoFile,     // no prefix of the command names a file; nothing placed
    UserProfile, // behind a variable of the user's own; nothing placed
};

struct CorpusRow {
    const char* m_szCommand; // {PF} Program Files, {SYS} the system folder, {WIN} the Windows folder
    const char* m_szProgram; // the program the platform starts (tries first, where none exists)
    Kind m_kind;
    const char* m_szVerdict = nullptr; // the dry run's verdict where the program is refused
};

constexpr char c_szBatchVerdict[] = " is a batch file: it runs in the command interpreter cmd.exe, where the plug-in "
                                    "protects nothing the batch file starts";
constexpr char c_szUserVariableVerdict[] = ", a variable of the user's own: such a program lies in the user's "
                                           "profile, which the trust rule never trusts";

// Each row is one shape of a real association command.
const CorpusRow c_rows[] = {
    // Installers: quoted programs, with and without switches.
    {"\"{PF}\\qBittorrent\\qbittorrent.exe\" \"%1\"", "{PF}\\qBittorrent\\qbittorrent.exe", Placed},
    {"\"{PF}\\SumatraPDF\\SumatraPDF.exe\" \"%1\"", "{PF}\\SumatraPDF\\SumatraPDF.exe", Placed},
    {"\"{PF}\\SumatraPDF\\SumatraPDF.exe\" -print-to-default \"%1\"", "{PF}\\SumatraPDF\\SumatraPDF.exe", Placed},
    {"\"{PF}\\Common Files\\Microsoft Shared\\MSEnv\\VSLauncher.exe\" \"%1\"",
     "{PF}\\Common Files\\Microsoft Shared\\MSEnv\\VSLauncher.exe", Placed},
    {"\"{PF}\\VideoLAN\\VLC\\vlc.exe\" --started-from-file \"%1\"", "{PF}\\VideoLAN\\VLC\\vlc.exe", Placed},
    {"\"{PF}\\VideoLAN\\VLC\\vlc.exe\" --started-from-file --playlist-enqueue \"%1\"", "{PF}\\VideoLAN\\VLC\\vlc.exe",
     Placed},
    {"\"{PF}\\7-Zip\\7zFM.exe\" \"%1\"", "{PF}\\7-Zip\\7zFM.exe", Placed},
    {"\"{PF}\\Notepad++\\notepad++.exe\" \"%1\"", "{PF}\\Notepad++\\notepad++.exe", Placed},
    {"\"{PF}\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"", "{PF}\\Mozilla Firefox\\firefox.exe", Placed},
    {"\"{PF}\\Google\\Chrome\\Application\\chrome.exe\" --single-argument %1",
     "{PF}\\Google\\Chrome\\Application\\chrome.exe", Placed},
    {"\"{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32.exe\" \"%1\"",
     "{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32.exe", Placed},
    {"\"{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32.exe\" /p /h \"%1\"",
     "{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32.exe", Placed},
    {"\"{PF}\\LibreOffice\\program\\soffice.exe\" -o \"%1\"", "{PF}\\LibreOffice\\program\\soffice.exe", Placed},
    {"\"{PF}\\LibreOffice\\program\\swriter.exe\" -pt \"%1\"", "{PF}\\LibreOffice\\program\\swriter.exe", Placed},
    {"\"{PF}\\GIMP 2\\bin\\gimp-2.10.exe\" \"%1\"", "{PF}\\GIMP 2\\bin\\gimp-2.10.exe", Placed},
    {"\"{PF}\\Inkscape\\bin\\inkscape.exe\" \"%1\"", "{PF}\\Inkscape\\bin\\inkscape.exe", Placed},
    {"\"{PF}\\IrfanView\\i_view32.exe\" \"%1\"", "{PF}\\IrfanView\\i_view32.exe", Placed},
    {"\"{PF}\\paint.net\\PaintDotNet.exe\" \"%1\"", "{PF}\\paint.net\\PaintDotNet.exe", Placed},
    {"\"{PF}\\WinRAR\\WinRAR.exe\" \"%1\"", "{PF}\\WinRAR\\WinRAR.exe", Placed},
    {"\"{PF}\\Java\\jre1.8.0_391\\bin\\javaw.exe\" -jar \"%1\" %*", "{PF}\\Java\\jre1.8.0_391\\bin\\javaw.exe", Placed},
    {"\"{PF}\\Python311\\pythonw.exe\" \"%1\" %*", "{PF}\\Python311\\pythonw.exe", Placed},
    {"\"{PF}\\Microsoft Office\\root\\Office16\\WINWORD.EXE\" /n \"%1\"",
     "{PF}\\Microsoft Office\\root\\Office16\\WINWORD.EXE", Placed},
    {"\"{PF}\\Microsoft Office\\root\\Office16\\EXCEL.EXE\" /dde", "{PF}\\Microsoft Office\\root\\Office16\\EXCEL.EXE",
     Placed},
    {"\"{PF}\\Foxit Software\\Foxit PDF Reader\\FoxitPDFReader.exe\" \"%1\"",
     "{PF}\\Foxit Software\\Foxit PDF Reader\\FoxitPDFReader.exe", Placed},
    {"\"{PF}\\Audacity\\Audacity.exe\" \"%1\"", "{PF}\\Audacity\\Audacity.exe", Placed},
    {"\"{PF}\\KeePass Password Safe 2\\KeePass.exe\" \"%1\"", "{PF}\\KeePass Password Safe 2\\KeePass.exe", Placed},
    {"\"{PF}\\Microsoft VS Code\\Code.exe\" \"%1\"", "{PF}\\Microsoft VS Code\\Code.exe", Placed},
    {"\"{PF}\\FileZilla FTP Client\\filezilla.exe\" \"%1\"", "{PF}\\FileZilla FTP Client\\filezilla.exe", Placed},
    {"\"{PF}\\Mozilla Thunderbird\\thunderbird.exe\" \"%1\"", "{PF}\\Mozilla Thunderbird\\thunderbird.exe", Placed},
    {"\"{PF}\\Tracker Software\\PDF Editor\\PDFXEdit.exe\" \"%1\"", "{PF}\\Tracker Software\\PDF Editor\\PDFXEdit.exe",
     Placed},
    {"\"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe\" \"%L\"", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    // The quoted program without its extension: the process creation adds ".exe".
    {"\"{PF}\\Acme Corp\\Tools\\tool\" \"%1\"", "{PF}\\Acme Corp\\Tools\\tool.exe", Placed},
    // Unquoted paths with blanks: the longest prefix that names a file.
    {"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe %1", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    {"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe /view %1", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    {"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe \"%1\"", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    {"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    {"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe -a -b \"%1\"", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    // Variables of REG_EXPAND_SZ data, the machine's values.
    {"\"%ProgramFiles%\\Acme Corp\\Acme Viewer\\viewer.exe\" \"%1\"", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    {"%ProgramFiles%\\Acme Corp\\Acme Viewer\\viewer.exe \"%1\"", "{PF}\\Acme Corp\\Acme Viewer\\viewer.exe", Placed},
    {"\"%CommonProgramFiles%\\Microsoft Shared\\MSEnv\\VSLauncher.exe\" \"%1\"",
     "{PF}\\Common Files\\Microsoft Shared\\MSEnv\\VSLauncher.exe", Placed},
    {"\"%SystemDrive%\\Program Files\\qBittorrent\\qbittorrent.exe\" \"%1\"", "{PF}\\qBittorrent\\qbittorrent.exe",
     Placed},
    // A bare name found only along PATH.
    {"pythonw-corpus.exe \"%1\"", "{PF}\\Python311\\pythonw-corpus.exe", Placed},
    // A bare name known only to App Paths.
    {"AcroRd32-corpus.exe \"%1\"", "{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32-corpus.exe", AppPaths},
    // A planted C:\Program.exe is never picked.
    {"{PF}\\Planted Corp\\app.exe %1", "{PF}\\Planted Corp\\app.exe", Planted},
    {"{PF}\\Planted Corp\\app.exe /x \"%1\"", "{PF}\\Planted Corp\\app.exe", Planted},
    // The process's own ProgramFiles (as HKCU\Environment can set it) is not the machine's.
    {"\"%ProgramFiles%\\qBittorrent\\qbittorrent.exe\" \"%1\"", "{PF}\\qBittorrent\\qbittorrent.exe", UserVariable},
    // The platform's own defaults, often in the %SystemRoot% form.
    {"%SystemRoot%\\system32\\NOTEPAD.EXE %1", "{SYS}\\notepad.exe", Present},
    {"%SystemRoot%\\system32\\notepad.exe /p %1", "{SYS}\\notepad.exe", Present},
    {"\"%SystemRoot%\\system32\\notepad.exe\" \"%1\"", "{SYS}\\notepad.exe", Present},
    {"notepad.exe %1", "{SYS}\\notepad.exe", Present},
    {"notepad.exe /p \"%1\"", "{SYS}\\notepad.exe", Present},
    {"regedit.exe \"%1\"", "{WIN}\\regedit.exe", Present},
    {"\"%SystemRoot%\\regedit.exe\" \"%1\"", "{WIN}\\regedit.exe", Present},
    {"\"%SystemRoot%\\System32\\msiexec.exe\" /i \"%1\" %*", "{SYS}\\msiexec.exe", Present},
    {"%SystemRoot%\\System32\\msiexec.exe /i \"%1\"", "{SYS}\\msiexec.exe", Present},
    {"\"%SystemRoot%\\System32\\msiexec.exe\" /p \"%1\" %*", "{SYS}\\msiexec.exe", Present},
    {"\"%SystemRoot%\\System32\\WScript.exe\" \"%1\" %*", "{SYS}\\wscript.exe", Present},
    {"\"%SystemRoot%\\System32\\CScript.exe\" \"%1\" %*", "{SYS}\\cscript.exe", Present},
    {"%SystemRoot%\\System32\\cmd.exe /s /k pushd \"%V\"", "{SYS}\\cmd.exe", Present},
    {"\"%SystemRoot%\\System32\\cmd.exe\" /c \"%1\" %*", "{SYS}\\cmd.exe", Present},
    {"%SystemRoot%\\hh.exe %1", "{WIN}\\hh.exe", Present},
    {"%SystemRoot%\\System32\\mshta.exe \"%1\" %*", "{SYS}\\mshta.exe", Present},
    {"\"%ProgramFiles%\\Windows NT\\Accessories\\WORDPAD.EXE\" \"%1\"", "{PF}\\Windows NT\\Accessories\\wordpad.exe",
     Present},
    {"\"%ProgramFiles%\\Internet Explorer\\iexplore.exe\" %1", "{PF}\\Internet Explorer\\iexplore.exe", Present},
    {"\"%ProgramFiles%\\Windows Media Player\\wmplayer.exe\" /prefetch:6 /Open \"%L\"",
     "{PF}\\Windows Media Player\\wmplayer.exe", Present},
    {"%SystemRoot%\\system32\\control.exe %1", "{SYS}\\control.exe", Present},
    // Wine's default associations, as its setup writes them.
    {"\"{SYS}\\notepad.exe\" \"%1\"", "{SYS}\\notepad.exe", Present},
    {"\"{WIN}\\regedit.exe\" \"%1\"", "{WIN}\\regedit.exe", Present},
    {"\"{SYS}\\msiexec.exe\" /i \"%1\"", "{SYS}\\msiexec.exe", Present},
    {"\"{WIN}\\hh.exe\" \"%1\"", "{WIN}\\hh.exe", Present},
    {"\"{WIN}\\winhlp32.exe\" \"%1\"", "{WIN}\\winhlp32.exe", Present},
    {"\"{SYS}\\write.exe\" \"%1\"", "{SYS}\\write.exe", Present},
    {"\"{SYS}\\winebrowser.exe\" -nohome \"%1\"", "{SYS}\\winebrowser.exe", Present},
    {"\"{PF}\\Windows NT\\Accessories\\wordpad.exe\" \"%1\"", "{PF}\\Windows NT\\Accessories\\wordpad.exe", Present},
    {"winhlp32.exe \"%1\"", "{SYS}\\winhlp32.exe", Present},
    // rundll32 commands.
    {"%SystemRoot%\\System32\\rundll32.exe %SystemRoot%\\system32\\shimgvw.dll,ImageView_Fullscreen %1",
     "{SYS}\\rundll32.exe", Rundll},
    {"rundll32.exe \"%ProgramFiles%\\Windows Photo Viewer\\PhotoViewer.dll\", ImageView_Fullscreen %1",
     "{SYS}\\rundll32.exe", Rundll},
    {"\"{SYS}\\rundll32.exe\" setupapi,InstallHinfSection DefaultInstall 132 %1", "{SYS}\\rundll32.exe", Rundll},
    // Batch files of tool kits' own associations: refused, as the launcher
    // would find the command interpreter started, not the program it judged.
    {"\"{PF}\\tcc\\run.bat\" \"%1\" %*", "{PF}\\tcc\\run.bat", Batch,
     "refused (5): {PF}\\tcc\\run.bat{BATCH}"},
    {"\"{PF}\\Bak File Handler\\bakhnd.cmd\" rem \"%1\"", "{PF}\\Bak File Handler\\bakhnd.cmd", Batch,
     "refused (5): {PF}\\Bak File Handler\\bakhnd.cmd{BATCH}"},
    // Windows 95's 8.3 commands, naming nothing here: the program the
    // process creation tries first, never the switch after its "/".
    {"C:\\Progra~1\\Access~1\\WORDPAD.EXE /p \"%1\"", "C:\\Progra~1\\Access~1\\WORDPAD.EXE", NoFile,
     "refused (5): C:\\Progra~1\\Access~1\\WORDPAD.EXE cannot be opened"},
    {"C:\\Progra~1\\Access~1\\WORDPAD.EXE /pt \"%1\" \"%2\" \"%3\" \"%4\"", "C:\\Progra~1\\Access~1\\WORDPAD.EXE",
     NoFile, "refused (5): C:\\Progra~1\\Access~1\\WORDPAD.EXE cannot be opened"},
    // Programs in the user's profile, however the command spells them.
    {"\"%USERPROFILE%\\bin\\elevate\" -k \"%1\"", "%USERPROFILE%\\bin\\elevate.exe", UserProfile,
     "refused (5): %USERPROFILE%\\bin\\elevate.exe lies behind %USERPROFILE%{USERVAR}"},
    {"%USERPROFILE%\\bin\\elevate -k \"%1\"", "%USERPROFILE%\\bin\\elevate.exe", UserProfile,
     "refused (5): %USERPROFILE%\\bin\\elevate.exe lies behind %USERPROFILE%{USERVAR}"},
    {"\"%LOCALAPPDATA%\\Microsoft\\WindowsApps\\wt.exe\" -p \"Command Prompt\" -d \"%1\"",
     "%LOCALAPPDATA%\\Microsoft\\WindowsApps\\wt.exe", UserProfile,
     "refused (5): %LOCALAPPDATA%\\Microsoft\\WindowsApps\\wt.exe lies behind %LOCALAPPDATA%{USERVAR}"},
    // The machine defines a TEMP of its own, but the user's start expands the
    // user's: never read as the machine's.
    {"\"%TEMP%\\Acme Viewer\\viewer.exe\" \"%1\"", "%TEMP%\\Acme Viewer\\viewer.exe", UserProfile,
     "refused (5): %TEMP%\\Acme Viewer\\viewer.exe lies behind %TEMP%{USERVAR}"},
    {"%SystemRoot%\\System32\\rundll32.exe %SystemRoot%\\System32\\shell32.dll,Control_RunDLL \"%1\",%*",
     "{SYS}\\rundll32.exe", Rundll},
};

std::string Folder(REFKNOWNFOLDERID a_id)
{
    PWSTR szPath = nullptr;
    std::string strPath;
    if (SUCCEEDED(SHGetKnownFolderPath(a_id, 0, nullptr, &szPath)))
        strPath = vm::AnsiRendering(szPath);
    CoTaskMemFree(szPath);
    return strPath;
}

std::string Replace(std::string a_strText, const std::string& a_strFrom, const std::string& a_strTo)
{
    for (size_t i = a_strText.find(a_strFrom); i != std::string::npos; i = a_strText.find(a_strFrom, i + a_strTo.size()))
        a_strText.replace(i, a_strFrom.size(), a_strTo);
    return a_strText;
}

// Commands that name their program through a variable are stored as the
// platform stores them, to be expanded when read.
DWORD CommandType(const std::string& a_strCommand)
{
    for (const char* szVariable : {"%SystemRoot%", "%ProgramFiles%", "%CommonProgramFiles%", "%SystemDrive%",
                                   "%USERPROFILE%", "%LOCALAPPDATA%", "%TEMP%"})
        if (a_strCommand.find(szVariable) != std::string::npos)
            return REG_EXPAND_SZ;
    return REG_SZ;
}

class AssociationCorpusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_redirect = std::make_unique<vmtest::RegistryRedirect>("corpus");
        vmtest::MarkAddinsLoaded();
        m_strDir = vmtest::MakeScratchDir("corpus");
        m_strPlugin = vmtest::TestDir() + "\\" + c_szPlugin;
        vmtest::WriteFile(m_strPlugin, "plug-in");
        m_strProgramFiles = Folder(FOLDERID_ProgramFiles);
        char sz[MAX_PATH] = {};
        GetSystemDirectoryA(sz, MAX_PATH);
        m_strSystem = sz;
        GetWindowsDirectoryA(sz, MAX_PATH);
        m_strWindows = sz;
        char szPath[4096] = {};
        GetEnvironmentVariableA("PATH", szPath, sizeof(szPath));
        m_strPath = szPath;
    }

    void TearDown() override
    {
        SetEnvironmentVariableA("PATH", m_strPath.c_str());
        SetEnvironmentVariableA("ProgramFiles", m_strProgramFiles.c_str());
        SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
        for (auto it = m_placed.rbegin(); it != m_placed.rend(); ++it)
            DeleteFileA(it->c_str()) || RemoveDirectoryA(it->c_str());
        DeleteFileA((m_strProgramFiles.substr(0, m_strProgramFiles.find(' ')) + ".exe").c_str());
        vmtest::RemovePolicy();
        DeleteFileA(m_strPlugin.c_str());
        vmtest::RemoveTree(m_strDir);
        m_redirect.reset();
    }

    std::string Expand(const char* a_szTemplate) const
    {
        std::string strText = Replace(Replace(a_szTemplate, "{BATCH}", c_szBatchVerdict), "{USERVAR}",
                                      c_szUserVariableVerdict);
        return Replace(Replace(Replace(strText, "{PF}", m_strProgramFiles), "{SYS}", m_strSystem), "{WIN}",
                       m_strWindows);
    }

    // A copy of the probe at a_strPath, with the folders it needs; what the
    // prefix already holds is left alone.
    void Place(const std::string& a_strPath)
    {
        if (vmtest::FileExists(a_strPath))
            return;
        for (size_t i = m_strProgramFiles.size() + 1; (i = a_strPath.find('\\', i)) != std::string::npos; ++i) {
            std::string strFolder = a_strPath.substr(0, i);
            if (CreateDirectoryA(strFolder.c_str(), nullptr))
                m_placed.push_back(strFolder);
        }
        ASSERT_TRUE(CopyFileA((vmtest::TestDir() + "\\vmprobe.exe").c_str(), a_strPath.c_str(), TRUE)) << a_strPath;
        m_placed.push_back(a_strPath);
    }

    // The program Wine's ShellExecuteEx starts for the document.
    std::string StartedByWine(const std::string& a_strDocument, const char* a_szVerb = "open")
    {
        std::string strRecord = m_strDir + "\\record.txt";
        SetEnvironmentVariableA("VM_PROBE_RECORD", strRecord.c_str());
        SHELLEXECUTEINFOA sei{};
        sei.cbSize = sizeof(sei);
        sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        sei.lpVerb = a_szVerb;
        sei.lpFile = a_strDocument.c_str();
        sei.nShow = SW_HIDE;
        if (!ShellExecuteExA(&sei))
            return "(ShellExecuteEx failed, error " + std::to_string(GetLastError()) + ")";
        if (sei.hProcess) {
            WaitForSingleObject(sei.hProcess, 10000);
            CloseHandle(sei.hProcess);
        }
        std::string strRecorded = vmtest::TakeProbeRecord(strRecord, 5000);
        SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
        size_t iExe = strRecorded.find("\nexe=");
        if (iExe == std::string::npos)
            return "(nothing recorded)";
        return strRecorded.substr(iExe + 5, strRecorded.find('\n', iExe + 5) - iExe - 5);
    }

    std::unique_ptr<vmtest::RegistryRedirect> m_redirect;
    std::string m_strDir;
    std::string m_strPlugin;
    std::string m_strProgramFiles;
    std::string m_strSystem;
    std::string m_strWindows;
    std::string m_strPath;
    std::vector<std::string> m_placed;
};

TEST_F(AssociationCorpusTest, RegisteredProgramIsControlledWhateverTheCommandShape)
{
    ASSERT_GE(sizeof(c_rows) / sizeof(c_rows[0]), 60u);
    vmtest::PolicyFields fields = {{"CompanyID", "ACME"}};
    std::set<std::string> names;
    for (const CorpusRow& row : c_rows) {
        std::string strProgram = Expand(row.m_szProgram);
        if (row.m_kind == Batch) {
            Place(strProgram);
            vmtest::WriteFile(strProgram, "@echo off\r\n");
        } else if (row.m_kind != Present && row.m_kind != Rundll && row.m_kind != NoFile &&
                   row.m_kind != UserProfile) {
            Place(strProgram);
        }
        std::string strName = PathFindFileNameA(strProgram.c_str());
        if (names.insert(strName).second)
            fields.push_back({strName, c_szPlugin});
    }
    vmtest::WritePolicy(fields);
    // Planted only for the rows that show it, as it would take every other
    // unquoted command's start.
    std::string strPlanted = m_strProgramFiles.substr(0, m_strProgramFiles.find(' ')) + ".exe";
    std::string strUserFolder = m_strDir + "\\User Programs";
    Place(strUserFolder + "\\qBittorrent\\qbittorrent.exe");
    vmtest::SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\AcroRd32-corpus.exe",
                      nullptr, Expand("{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32-corpus.exe"));
    SetEnvironmentVariableA("PATH", (m_strPath + ";" + Expand("{PF}\\Python311")).c_str());
    // The machine's own TEMP, as Windows (and Wine) define it.
    vmtest::SetString(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "TEMP",
                      "%SystemRoot%\\TEMP", REG_EXPAND_SZ);
    // Decided as the hook decides, by the installed policy, and started by
    // nobody: Wine's ShellExecuteEx shows what the command starts.
    CLxShellExt dry(DryStartSink(), PolicySource());

    int nRow = 0;
    for (const CorpusRow& row : c_rows) {
        std::string strCommand = Expand(row.m_szCommand);
        std::string strProgram = Expand(row.m_szProgram);
        SCOPED_TRACE("row " + std::to_string(nRow) + ": " + strCommand);
        std::string strExt = ".c" + std::to_string(nRow++);
        std::string strProgId = "Corpus" + strExt;
        vmtest::SetString(HKEY_CLASSES_ROOT, strExt, nullptr, strProgId);
        vmtest::SetString(HKEY_CLASSES_ROOT, strProgId + "\\shell\\open\\command", nullptr, strCommand,
                          CommandType(strCommand));
        std::string strDocument = m_strDir + "\\document" + strExt;
        vmtest::WriteFile(strDocument, "text");

        if (row.m_kind == Planted)
            ASSERT_TRUE(CopyFileA((vmtest::TestDir() + "\\vmprobe.exe").c_str(), strPlanted.c_str(), FALSE));
        else
            DeleteFileA(strPlanted.c_str());
        SetEnvironmentVariableA("ProgramFiles", row.m_kind == UserVariable ? strUserFolder.c_str()
                                                                           : m_strProgramFiles.c_str());
        if (row.m_kind == Placed) {
            EXPECT_EQ(StartedByWine(strDocument), strProgram) << "Wine's ShellExecuteEx";
        }
        // The platform itself starts the planted program for an unquoted
        // command, as documented, and expands a command's variables with the
        // process's own environment.
        if (row.m_kind == Planted) {
            EXPECT_EQ(StartedByWine(strDocument), strPlanted) << "Wine's ShellExecuteEx";
        }
        if (row.m_kind == UserVariable) {
            EXPECT_EQ(StartedByWine(strDocument), strUserFolder + "\\qBittorrent\\qbittorrent.exe")
                << "Wine's ShellExecuteEx";
        }

        SHELLEXECUTEINFOA sei{};
        sei.cbSize = sizeof(sei);
        sei.lpVerb = "open";
        std::vector<char> file(strDocument.begin(), strDocument.end());
        file.push_back('\0');
        sei.lpFile = file.data();
        HRESULT hr = OfferRequest(dry, &sei);
        EXPECT_EQ(lstrcmpiA(dry.m_strAppPath.c_str(), strProgram.c_str()), 0)
            << dry.m_strAppPath << " for " << strProgram;
        if (row.m_kind == Rundll) {
            EXPECT_EQ(hr, S_FALSE);
            continue;
        }
        if (row.m_szVerdict) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(DescribeVerdict(ThreadVerdict(), true), Expand(row.m_szVerdict));
            continue;
        }
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(reinterpret_cast<INT_PTR>(sei.hInstApp), c_nResultLaunched);
        std::string strVerdict = DescribeVerdict(ThreadVerdict(), true);
        EXPECT_EQ(strVerdict.find("controlled: " + std::string(PathFindFileNameA(strProgram.c_str())) + " starts"), 0u)
            << strVerdict;
    }
}

// Types that register another program for a verb than for open, in the
// shapes installers write: each request for the verb is decided by the
// program of that verb's command, which Wine's ShellExecuteEx starts for the
// same verb; a verb the type has no command for takes the open command.
struct VerbRow {
    const char* m_szOpen;    // the open command
    const char* m_szVerb;    // the verb asked for, and registered unless m_szCommand is null
    const char* m_szCommand; // that verb's command
    const char* m_szProgram; // the program the request is decided by
    bool m_bWineStarts;      // Wine's ShellExecuteEx starts that program for the verb
};

const VerbRow c_verbRows[] = {
    // a picture type opened by a viewer, edited in a paint program
    {"\"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe\" \"%1\"", "edit", "\"{PF}\\paint.net\\PaintDotNet.exe\" \"%1\"",
     "{PF}\\paint.net\\PaintDotNet.exe", true},
    // an editor's print switch
    {"\"{PF}\\Notepad++\\notepad++.exe\" \"%1\"", "print", "\"{PF}\\EmEditor\\EMEDITOR.EXE\" /p \"%1\"",
     "{PF}\\EmEditor\\EMEDITOR.EXE", true},
    {"\"{PF}\\IrfanView\\i_view32.exe\" \"%1\"", "print", "\"{PF}\\ContaCam\\ContaCam.exe\" /p \"%1\"",
     "{PF}\\ContaCam\\ContaCam.exe", true},
    // printing on a chosen printer
    {"\"{PF}\\Adobe\\Acrobat Reader DC\\Reader\\AcroRd32.exe\" \"%1\"", "printto",
     "\"{PF}\\SumatraPDF\\SumatraPDF.exe\" -print-to \"%2\" \"%1\"", "{PF}\\SumatraPDF\\SumatraPDF.exe", true},
    // an office suite's read-only open
    {"\"{PF}\\Acme Corp\\Acme Viewer\\viewer.exe\" \"%1\"", "OpenAsReadOnly",
     "\"{PF}\\LibreOffice\\program\\soffice.exe\" --view \"%1\"", "{PF}\\LibreOffice\\program\\soffice.exe", true},
    // a web page edited in a text editor, the editor unquoted
    {"\"{PF}\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"", "edit", "{PF}\\Acme Corp\\Tools\\edit.exe %1",
     "{PF}\\Acme Corp\\Tools\\edit.exe", true},
    // print without a print command: the open command's program
    {"\"{PF}\\7-Zip\\7zFM.exe\" \"%1\"", "print", nullptr, "{PF}\\7-Zip\\7zFM.exe", false},
};

TEST_F(AssociationCorpusTest, EachVerbIsDecidedByItsOwnCommand)
{
    vmtest::PolicyFields fields = {{"CompanyID", "ACME"}};
    std::set<std::string> names;
    for (const VerbRow& row : c_verbRows) {
        // Every open command above quotes its program.
        std::string strOpen = Expand(row.m_szOpen);
        std::string strOpenProgram = strOpen.substr(1, strOpen.find('"', 1) - 1);
        for (const std::string& strProgram : {Expand(row.m_szProgram), strOpenProgram}) {
            Place(strProgram);
            std::string strName = PathFindFileNameA(strProgram.c_str());
            if (names.insert(strName).second)
                fields.push_back({strName, c_szPlugin});
        }
    }
    vmtest::WritePolicy(fields);
    CLxShellExt dry(DryStartSink(), PolicySource());

    int nRow = 0;
    for (const VerbRow& row : c_verbRows) {
        std::string strProgram = Expand(row.m_szProgram);
        SCOPED_TRACE("row " + std::to_string(nRow) + ": " + row.m_szVerb + " " +
                     (row.m_szCommand ? Expand(row.m_szCommand) : std::string("(no command)")));
        std::string strExt = ".v" + std::to_string(nRow++);
        std::string strProgId = "CorpusVerb" + strExt;
        vmtest::SetString(HKEY_CLASSES_ROOT, strExt, nullptr, strProgId);
        vmtest::SetString(HKEY_CLASSES_ROOT, strProgId + "\\shell\\open\\command", nullptr, Expand(row.m_szOpen));
        if (row.m_szCommand)
            vmtest::SetString(HKEY_CLASSES_ROOT, strProgId + "\\shell\\" + row.m_szVerb + "\\command", nullptr,
                              Expand(row.m_szCommand));
        std::string strDocument = m_strDir + "\\document" + strExt;
        vmtest::WriteFile(strDocument, "text");
        if (row.m_bWineStarts) {
            EXPECT_EQ(StartedByWine(strDocument, row.m_szVerb), strProgram) << "Wine's ShellExecuteEx";
        }

        SHELLEXECUTEINFOA sei{};
        sei.cbSize = sizeof(sei);
        sei.lpVerb = row.m_szVerb;
        std::vector<char> file(strDocument.begin(), strDocument.end());
        file.push_back('\0');
        sei.lpFile = file.data();
        EXPECT_EQ(OfferRequest(dry, &sei), S_OK);
        EXPECT_EQ(reinterpret_cast<INT_PTR>(sei.hInstApp), c_nResultLaunched);
        EXPECT_EQ(lstrcmpiA(dry.m_strAppPath.c_str(), strProgram.c_str()), 0) << dry.m_strAppPath;
        std::string strVerdict = DescribeVerdict(ThreadVerdict(), true);
        EXPECT_EQ(strVerdict.find("controlled: " + std::string(PathFindFileNameA(strProgram.c_str())) + " starts"), 0u)
            << strVerdict;
    }
}

} // namespace
