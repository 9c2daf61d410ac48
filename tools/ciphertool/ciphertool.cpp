// ciphertool: writes and checks the files cipher.dll reads, for administrators
// and tests. It judges files with the same code as cipher.dll.

#include "companions/cipher/ccfformat.h"
#include "companions/cipher/ccflint.h"

#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "tools/toolsupport/ToolUsage.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int c_nExitOk = 0;
constexpr int c_nExitInvalid = 1;
constexpr int c_nExitError = 2;
constexpr DWORD c_cbCopyChunk = 64 * 1024;
// Bounds what seal reads; the sealed file itself must stay within the policy limit.
constexpr uint64_t c_cbSealInputMax = 2 * cipherfmt::c_cbCcfMax;

const char c_szHelp[] =
    "usage: ciphertool [--strict] [--product-folder DIR] seal INPUT OUTPUT\n"
    "       ciphertool [--strict] [--product-folder DIR] check-policy FILE\n"
    "       ciphertool wrap INPUT OUTPUT\n"
    "       ciphertool check-document FILE\n"
    "       ciphertool install-policy DESTINATION SOURCE | install-policy --check SOURCE\n"
    "       ciphertool --help | --version\n"
    "\n"
    "Writes and checks the files of cipher.dll.\n"
    "\n"
    "  seal INPUT OUTPUT\n"
    "      Makes a company policy file. INPUT holds Name=Value lines, comments\n"
    "      (';' first on the line) and blank lines, with LF or CR LF line ends.\n"
    "      OUTPUT gets the line \"LUMIDEX-CCF 1\" first, the lines of INPUT as they\n"
    "      stand, and the line Checksum=XXXXXXXX last, all with CR LF line ends.\n"
    "      An INPUT that is an edited policy file (its first line and a trailing\n"
    "      Checksum line present) is sealed again without doubling either. A\n"
    "      UTF-8 byte-order mark at the start of INPUT is dropped.\n"
    "  check-policy FILE\n"
    "      Judges a policy file at any path as cipher.dll judges company.ccf.\n"
    "      Prints \"valid\" and then the fields, Name=Value one a line, or\n"
    "      \"invalid: REASON\".\n"
    "  wrap INPUT OUTPUT\n"
    "      Writes OUTPUT as the 32-byte encrypted-document header followed by\n"
    "      the bytes of INPUT.\n"
    "  check-document FILE\n"
    "      Judges a document's header as cipher.dll does. Prints \"valid\" and\n"
    "      \"payload size: N\", or \"invalid: REASON\".\n"
    "  install-policy DESTINATION SOURCE\n"
    "  install-policy --check SOURCE\n"
    "      For the installer: copies the policy file SOURCE to DESTINATION when\n"
    "      it is valid (--check: only judges it). SOURCE is the rest of the\n"
    "      command line as it stands, unquoted, so that a property can be passed\n"
    "      as the administrator typed it; a SOURCE holding a double quote is\n"
    "      refused.\n"
    "\n"
    "seal and check-policy warn, on standard error, of what a valid policy\n"
    "leaves undone: \"warning: FILE, line N: ...\" for a name or value with\n"
    "blanks at its start or end; a field given twice (ignoring letter case); a\n"
    "near miss of a setting (\"did you mean ...?\"); an application name that\n"
    "holds a path or does not end in .exe; an application that names no plug-in,\n"
    "names it by a path (plug-ins lie in the product folder), or names one that\n"
    "is not a file beside the policy file (or in --product-folder DIR); a\n"
    "DeleteOtherAddin or NotLoadSSDriver other than 0 or 1; and a TrustedFolders\n"
    "entry that is not a full path or trusts no folder (a drive's root, a letter\n"
    "that is no fixed volume, ProgramData, a temporary folder, the users'\n"
    "profiles, a user-writable folder). With --strict a warning fails the\n"
    "command (exit 1; seal then writes nothing).\n"
    "\n"
    "This cipher.dll is a stand-in: it does not encrypt. \"wrap\" only marks a\n"
    "document as encrypted with the header; its content stays as it was, readable\n"
    "by anyone.\n"
    "\n"
    "OUTPUT is written to a temporary file in its folder and then moved into\n"
    "place: after any failure no OUTPUT is left behind and an existing one is\n"
    "unchanged.\n"
    "\n"
    "Exit codes:\n"
    "  0  done, or the file is valid\n"
    "  1  the file or INPUT was read and found invalid (or, with --strict, warned of)\n"
    "  2  bad usage, or a file could not be read or written\n";

__attribute__((format(printf, 1, 2))) void PrintError(const char* a_szFormat, ...)
{
    std::fputs("ciphertool: ", stderr);
    va_list args;
    va_start(args, a_szFormat);
    std::vfprintf(stderr, a_szFormat, args);
    va_end(args);
    std::fputs("\n", stderr);
}

std::string LastError()
{
    return vmtool::DescribeError(GetLastError());
}

std::string GetFullPath(const char* a_szPath)
{
    DWORD cch = GetFullPathNameA(a_szPath, 0, nullptr, nullptr);
    if (cch == 0)
        return {};
    std::string strFull(cch, '\0');
    DWORD cchGot = GetFullPathNameA(a_szPath, cch, &strFull[0], nullptr);
    if (cchGot == 0 || cchGot >= cch)
        return {};
    strFull.resize(cchGot);
    return strFull;
}

// An output file that only appears, complete, when committed: the bytes go to
// a temporary file in the same folder (so the final move is a rename on one
// volume), which is removed on every other path.
class CTempOutput {
public:
    CTempOutput() = default;
    ~CTempOutput() { Discard(); }
    CTempOutput(const CTempOutput&) = delete;
    CTempOutput& operator=(const CTempOutput&) = delete;

    bool Create(const char* a_szFinal)
    {
        m_strFinal = GetFullPath(a_szFinal);
        size_t offSlash = m_strFinal.find_last_of('\\');
        if (m_strFinal.empty() || offSlash == std::string::npos) {
            PrintError("cannot use \"%s\" as an output path", a_szFinal);
            return false;
        }
        std::string strDir = m_strFinal.substr(0, offSlash + 1);
        char szTemp[MAX_PATH] = {};
        // GetTempFileNameA needs room for the 14 characters of the file name it makes.
        if (strDir.size() >= MAX_PATH - 14 || !GetTempFileNameA(strDir.c_str(), "ctl", 0, szTemp)) {
            PrintError("cannot create a file in the folder \"%s\": %s", strDir.c_str(), LastError().c_str());
            return false;
        }
        m_strTemp = szTemp;
        m_hFile.reset(CreateFileA(szTemp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
        if (!m_hFile) {
            PrintError("cannot write \"%s\": %s", szTemp, LastError().c_str());
            return false;
        }
        return true;
    }

    bool Write(const void* a_pData, size_t a_cb)
    {
        const char* p = static_cast<const char*>(a_pData);
        while (a_cb > 0) {
            DWORD cbChunk = a_cb > c_cbCopyChunk ? c_cbCopyChunk : static_cast<DWORD>(a_cb);
            DWORD cbWritten = 0;
            if (!WriteFile(m_hFile.get(), p, cbChunk, &cbWritten, nullptr) || cbWritten != cbChunk) {
                PrintError("cannot write \"%s\": %s", m_strTemp.c_str(), LastError().c_str());
                return false;
            }
            p += cbChunk;
            a_cb -= cbChunk;
        }
        return true;
    }

    bool Commit()
    {
        if (!FlushFileBuffers(m_hFile.get())) {
            PrintError("cannot write \"%s\": %s", m_strTemp.c_str(), LastError().c_str());
            return false;
        }
        m_hFile.reset();
        if (!MoveFileExA(m_strTemp.c_str(), m_strFinal.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            PrintError("cannot replace \"%s\": %s", m_strFinal.c_str(), LastError().c_str());
            return false;
        }
        m_strTemp.clear();
        return true;
    }

private:
    void Discard()
    {
        m_hFile.reset();
        if (!m_strTemp.empty())
            DeleteFileA(m_strTemp.c_str());
        m_strTemp.clear();
    }

    std::string m_strFinal;
    std::string m_strTemp;
    vm::UniqueFileHandle m_hFile;
};

struct CToolOptions : vmtool::CCommonOptions {
    bool m_bStrict = false;
    const char* m_szProductFolder = nullptr;
    std::vector<const char*> m_args; // the command, then its operands
};

// The folder a policy's plug-ins must lie in: the product folder given, or
// the policy file's own.
std::string PluginFolder(const char* a_szPolicyFile, const CToolOptions& a_options)
{
    std::string strFolder = GetFullPath(a_options.m_szProductFolder ? a_options.m_szProductFolder : a_szPolicyFile);
    if (!a_options.m_szProductFolder)
        strFolder.erase(std::min(strFolder.find_last_of('\\'), strFolder.size()));
    while (!strFolder.empty() && strFolder.back() == '\\')
        strFolder.pop_back();
    return strFolder;
}

// Warns of what the valid policy leaves undone; true when it warned. Where
// the plug-in folder was guessed (the policy file's own), a plug-in not found
// there says how to name the product folder.
bool WarnOfFields(const char* a_szFile, const std::vector<cipherfmt::CcfField>& a_fields,
                  const std::string& a_strPluginFolder, const CToolOptions& a_options)
{
    std::vector<cipherfmt::CcfWarning> warnings = cipherfmt::LintCcfFields(a_fields, a_strPluginFolder);
    for (const cipherfmt::CcfWarning& warning : warnings)
        std::fprintf(stderr, "warning: %s, line %u: %s%s\n", a_szFile, static_cast<unsigned>(warning.nLine),
                     warning.strText.c_str(),
                     warning.bPluginNotFound && !a_options.m_szProductFolder
                         ? " (give --product-folder DIR when the plug-ins lie in the product folder)"
                         : "");
    return !warnings.empty();
}

int Seal(const CToolOptions& a_options)
{
    const char* szInput = a_options.m_args[1];
    const char* szOutput = a_options.m_args[2];
    std::string strInput;
    switch (cipherfmt::ReadWholeFile(szInput, c_cbSealInputMax, &strInput)) {
    case cipherfmt::ReadStatus::CannotOpen:
        PrintError("cannot read \"%s\"", szInput);
        return c_nExitError;
    case cipherfmt::ReadStatus::TooLarge:
        PrintError("\"%s\" is too large for a policy file (at most 1 MiB)", szInput);
        return c_nExitInvalid;
    case cipherfmt::ReadStatus::Ok:
        break;
    }

    std::string strSealed;
    size_t nLine = 0;
    std::vector<cipherfmt::CcfField> fields;
    switch (cipherfmt::SealCcf(strInput, &strSealed, &nLine, &fields)) {
    case cipherfmt::SEAL_OK:
        break;
    case cipherfmt::SEAL_E_LINE:
        PrintError("%s, line %u: neither blank, a comment (';' first) nor Name=Value with a name, "
                   "or holds a NUL or a lone CR",
                   szInput, static_cast<unsigned>(nLine));
        return c_nExitInvalid;
    case cipherfmt::SEAL_E_CHECKSUM:
        PrintError("%s, line %u: \"Checksum\" is reserved for the last line of a policy file", szInput,
                   static_cast<unsigned>(nLine));
        return c_nExitInvalid;
    default:
        PrintError("\"%s\" would give a policy file larger than 1 MiB", szInput);
        return c_nExitInvalid;
    }
    if (WarnOfFields(szInput, fields, PluginFolder(szOutput, a_options), a_options) && a_options.m_bStrict) {
        PrintError("\"%s\" is not sealed: --strict refuses a policy with warnings", szInput);
        return c_nExitInvalid;
    }

    CTempOutput output;
    if (!output.Create(szOutput) || !output.Write(strSealed.data(), strSealed.size()) || !output.Commit())
        return c_nExitError;
    std::printf("sealed %s: %u fields\n", szOutput, static_cast<unsigned>(fields.size()));
    return c_nExitOk;
}

int CheckPolicy(const CToolOptions& a_options)
{
    const char* szFile = a_options.m_args[1];
    std::vector<cipherfmt::CcfField> fields;
    size_t nLine = 0;
    int nCode = cipherfmt::ReadCcfFile(szFile, &fields, &nLine);
    if (nCode != CCF_VALID) {
        if (nLine != 0)
            std::printf("invalid: %s (line %u)\n", cipherfmt::DescribeCcfValidity(nCode),
                        static_cast<unsigned>(nLine));
        else
            std::printf("invalid: %s\n", cipherfmt::DescribeCcfValidity(nCode));
        return nCode == CCF_E_MISSING ? c_nExitError : c_nExitInvalid;
    }
    std::printf("valid\n");
    for (const cipherfmt::CcfField& field : fields) {
        std::fwrite(field.strName.data(), 1, field.strName.size(), stdout);
        std::fputc('=', stdout);
        std::fwrite(field.strValue.data(), 1, field.strValue.size(), stdout);
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
    bool bWarned = WarnOfFields(szFile, fields, PluginFolder(szFile, a_options), a_options);
    return bWarned && a_options.m_bStrict ? c_nExitInvalid : c_nExitOk;
}

int Wrap(const CToolOptions& a_options)
{
    const char* szInput = a_options.m_args[1];
    const char* szOutput = a_options.m_args[2];
    vm::UniqueFileHandle hInput = cipherfmt::OpenRegularFileForReading(szInput);
    LARGE_INTEGER size{};
    if (!hInput || !GetFileSizeEx(hInput.get(), &size)) {
        PrintError("cannot read \"%s\"", szInput);
        return c_nExitError;
    }
    const uint64_t cbPayload = static_cast<uint64_t>(size.QuadPart);

    CTempOutput output;
    if (!output.Create(szOutput))
        return c_nExitError;
    unsigned char header[cipherfmt::c_cbAcapHeader];
    cipherfmt::BuildAcapHeader(cbPayload, header);
    if (!output.Write(header, sizeof(header)))
        return c_nExitError;

    std::vector<char> buffer(c_cbCopyChunk);
    uint64_t cbCopied = 0;
    for (;;) {
        DWORD cbRead = 0;
        if (!ReadFile(hInput.get(), buffer.data(), c_cbCopyChunk, &cbRead, nullptr)) {
            PrintError("cannot read \"%s\": %s", szInput, LastError().c_str());
            return c_nExitError;
        }
        if (cbRead == 0)
            break;
        if (!output.Write(buffer.data(), cbRead))
            return c_nExitError;
        cbCopied += cbRead;
    }
    // The header states the size measured before copying; a file that grew or
    // shrank meanwhile would get a header that lies about it.
    if (cbCopied != cbPayload) {
        PrintError("\"%s\" changed while it was read; nothing written", szInput);
        return c_nExitError;
    }
    hInput.reset();
    return output.Commit() ? c_nExitOk : c_nExitError;
}

int CheckDocument(const CToolOptions& a_options)
{
    const char* szFile = a_options.m_args[1];
    cipherfmt::AcapHeader header;
    int nCode = cipherfmt::ReadAcapHeader(szFile, &header);
    if (nCode != ACAP_HEADER_OK) {
        std::printf("invalid: %s\n", cipherfmt::DescribeAcapHeaderStatus(nCode));
        return nCode == ACAP_E_OPEN ? c_nExitError : c_nExitInvalid;
    }
    std::printf("valid\npayload size: %llu\n", static_cast<unsigned long long>(header.uPayloadSize));
    return c_nExitOk;
}

// The text after the program name and a_cSkip arguments, as it stands on the
// command line. Every skipped argument must read as the runtime parsed it
// (a_argv), so both readings agree on where the rest begins.
std::string CommandLineRest(int a_cSkip, char** a_argv)
{
    const char* p = GetCommandLineA();
    for (int i = 0; i <= a_cSkip; ++i) {
        while (vm::IsBlank(*p))
            ++p;
        const char* pEnd = *p == '"' ? std::strchr(p + 1, '"') : p + std::strcspn(p, " \t");
        if (!pEnd)
            return {};
        std::string strToken = *p == '"' ? std::string(p + 1, pEnd) : std::string(p, pEnd);
        if (i > 0 && strToken != a_argv[i])
            return {};
        p = *pEnd == '"' ? pEnd + 1 : pEnd;
    }
    while (vm::IsBlank(*p))
        ++p;
    return p;
}

// The installer's copy of the administrator's policy file: refused unless the
// bytes read are a valid policy, and those very bytes are what is written, so
// a file changed between the check and the copy cannot slip through.
int InstallPolicy(int a_argc, char** a_argv)
{
    bool bCheckOnly = a_argc > 2 && !std::strcmp(a_argv[2], "--check");
    std::string strSource = a_argc > 3 ? CommandLineRest(2, a_argv) : std::string();
    if (strSource.empty()) {
        return vmtool::ShowBadUse("ciphertool", "\"install-policy\" takes DESTINATION (or --check) and SOURCE",
                                  c_szHelp);
    }
    if (strSource.find('"') != std::string::npos) {
        PrintError("refused: the policy file's path holds a double quote: %s", strSource.c_str());
        return c_nExitError;
    }
    std::string strBytes;
    if (cipherfmt::ReadWholeFile(strSource.c_str(), cipherfmt::c_cbCcfMax, &strBytes) != cipherfmt::ReadStatus::Ok) {
        PrintError("cannot read \"%s\" as a policy file", strSource.c_str());
        return c_nExitError;
    }
    int nCode = cipherfmt::ParseCcf(strBytes, nullptr);
    if (nCode != CCF_VALID) {
        PrintError("\"%s\" is not a valid policy file: %s", strSource.c_str(), cipherfmt::DescribeCcfValidity(nCode));
        return c_nExitInvalid;
    }
    if (bCheckOnly)
        return c_nExitOk;
    CTempOutput output;
    if (!output.Create(a_argv[2]) || !output.Write(strBytes.data(), strBytes.size()) || !output.Commit())
        return c_nExitError;
    return c_nExitOk;
}

struct Command {
    const char* szName;
    size_t cOperands;
    bool bPolicy; // takes --strict and --product-folder
    int (*pfnRun)(const CToolOptions&);
};

const Command c_commands[] = {
    {"seal", 2, true, Seal},
    {"check-policy", 1, true, CheckPolicy},
    {"wrap", 2, false, Wrap},
    {"check-document", 1, false, CheckDocument},
};

bool ParseArguments(int a_argc, char** a_argv, CToolOptions& a_options, std::string& a_strError)
{
    for (int i = 1; i < a_argc; ++i) {
        const std::string strArg = a_argv[i];
        if (strArg == "--help" || strArg == "-h" || strArg == "/?") {
            a_options.m_bHelp = true;
        } else if (strArg == "--version") {
            a_options.m_bVersion = true;
        } else if (strArg == "--strict") {
            a_options.m_bStrict = true;
        } else if (strArg == "--product-folder") {
            if (++i >= a_argc || a_options.m_szProductFolder) {
                a_strError = "--product-folder takes one folder";
                return false;
            }
            a_options.m_szProductFolder = a_argv[i];
        } else if (strArg.size() > 1 && strArg[0] == '-') {
            a_strError = "unknown option " + strArg;
            return false;
        } else {
            a_options.m_args.push_back(a_argv[i]);
        }
    }
    return true;
}

// The command the arguments name, or null with the reason.
const Command* FindCommand(const CToolOptions& a_options, std::string& a_strError)
{
    if (a_options.m_args.empty()) {
        a_strError = "no command given";
        return nullptr;
    }
    for (const Command& command : c_commands) {
        if (std::strcmp(a_options.m_args[0], command.szName) != 0)
            continue;
        if (a_options.m_args.size() - 1 != command.cOperands)
            a_strError = std::string("\"") + command.szName + "\" takes " +
                         (command.cOperands == 1 ? "one file" : "INPUT and OUTPUT");
        else if (!command.bPolicy && (a_options.m_bStrict || a_options.m_szProductFolder))
            a_strError = std::string("\"") + command.szName + "\" takes neither --strict nor --product-folder";
        else if (a_options.m_szProductFolder && !vm::IsExistingFolder(a_options.m_szProductFolder))
            a_strError = std::string("--product-folder: \"") + a_options.m_szProductFolder + "\" is no folder";
        else
            return &command;
        return nullptr;
    }
    a_strError = std::string("unknown command \"") + a_options.m_args[0] + "\"";
    return nullptr;
}

int Run(int a_argc, char** a_argv)
{
    // The installer passes the policy's path as it stands, blanks and all.
    if (a_argc >= 2 && std::strcmp(a_argv[1], "install-policy") == 0)
        return InstallPolicy(a_argc, a_argv);
    CToolOptions options;
    std::string strError;
    bool bParsed = ParseArguments(a_argc, a_argv, options, strError);
    int nExit = vmtool::AnswerCommonOptions({"ciphertool", c_szHelp}, bParsed, strError, options);
    if (nExit >= 0)
        return nExit;
    const Command* pCommand = FindCommand(options, strError);
    if (!pCommand)
        return vmtool::ShowBadUse("ciphertool", strError, c_szHelp);
    return pCommand->pfnRun(options);
}

} // namespace

int main(int argc, char** argv)
{
    int nExit = c_nExitError;
    try {
        nExit = Run(argc, argv);
    } catch (const std::bad_alloc&) {
        PrintError("out of memory");
        nExit = c_nExitError;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return nExit;
}
