#include "fuzz/Targets.h"

#include "fuzz/GuardedMemory.h"
#include "fuzz/ScratchRegistry.h"
#include "fuzz/Seeds.h"

#include "common/CommandProgram.h"
#include "common/OfficeAddins.h"
#include "companions/cipher/ccfformat.h"
#include "decision/LxShellExt.h"
#include "module/DocHook.h"
#include "registration/RegistryScript.h"
#include "resolution/PathHelpers.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <memory>

namespace vmfuzz {

namespace {

std::unique_ptr<CScratchRegistry> s_pRegistry;
std::unique_ptr<CTaskMemoryGuard> s_pTaskMemory;

void AddLiterals(Corpus& a_corpus, const char* a_szFile, size_t a_cbMax = 4096)
{
    for (const std::string& strLiteral : LiteralsOf(a_szFile)) {
        if (strLiteral.empty() || strLiteral.size() > a_cbMax)
            continue;
        a_corpus.m_seeds.push_back(strLiteral);
        if (strLiteral.size() <= 24)
            a_corpus.m_dictionary.push_back(strLiteral);
    }
}

void AddWords(Corpus& a_corpus, std::initializer_list<const char*> a_words)
{
    for (const char* szWord : a_words)
        a_corpus.m_dictionary.emplace_back(szWord);
}

bool PrepareRegistry()
{
    s_pRegistry = std::make_unique<CScratchRegistry>();
    return s_pRegistry->Ready();
}

void FinishRegistry()
{
    s_pRegistry.reset();
    s_pTaskMemory.reset();
}

// --- registration scripts, registered and then unregistered -----------------

bool PrepareScript(Corpus& a_corpus)
{
    std::string strScript = FileText("resources\\vormidmgr.rgs");
    if (!strScript.empty())
        a_corpus.m_seeds.push_back(strScript);
    AddLiterals(a_corpus, "tests\\registration\\RegistryScriptTest.cpp");
    AddWords(a_corpus, {"HKCR", "HKCU", "HKLM", "HKEY_LOCAL_MACHINE", "{", "}", " { ", " } ", " = ",
                        "s", "d", "b", "val", "ForceRemove", "NoRemove", "Delete", "CLSID", "TypeLib",
                        "%MODULE%", "%%", "'", "''", "\r\n", "'a b'", "0x10", "4294967296", "DEADBEEF"});
    // The expanded script lives in task memory.
    s_pTaskMemory = std::make_unique<CTaskMemoryGuard>();
    return PrepareRegistry();
}

void RunScript(const std::string& a_strInput)
{
    CScriptVariables variables;
    variables.Add(L"Module", L"C:\\Program Files\\Korvane\\it''s\\vormidmgr.dll");
    CGuardedText text(a_strInput);
    {
        CRegistryScript script(variables);
        script.RunScript(text.Get(), true);
    }
    CRegistryScript script(variables);
    script.RunScript(text.Get(), false);
    s_pRegistry->Clear();
}

// --- command strings and the path helpers -------------------------------------

bool PrepareCommand(Corpus& a_corpus)
{
    a_corpus.m_cFields = 3;
    AddLiterals(a_corpus, "tests\\resolution\\CommandParserTest.cpp");
    AddLiterals(a_corpus, "tests\\resolution\\DbcsTest.cpp");
    AddLiterals(a_corpus, "tests\\resolution\\ResolverTest.cpp");
    AddLiterals(a_corpus, "tests\\decision\\CorpusTest.cpp");
    AddWords(a_corpus, {"\"", "%1", "%L", "%*", "%V", "%CommonProgramFiles%", "%SystemDrive%", "%windir%",
                        "%PATH%", "\"%1\"", " ", "C:\\Program Files\\", "rundll32.exe",
                        "shimgvw.dll", "ideas.cmd", "%SystemRoot%", "%ProgramFiles%", ".exe", "\\",
                        "\x82\xa0", "\x81\x5c", ",ImageView_Fullscreen", "notepad.exe", " /dde"});
    return true;
}

// An output buffer of a_cb bytes that ends at a no-access page: a write
// past it faults.
void GuardedBuffer(CGuardedText& a_buffer, const std::string& a_strText, size_t a_cb)
{
    std::string strBytes = a_strText.substr(0, a_cb - 1);
    strBytes.resize(a_cb, '\0');
    a_buffer.AssignBytes(strBytes);
}

void RunCommand(const std::string& a_strInput)
{
    std::vector<std::string> fields = SplitFields(a_strInput);
    fields.resize(3);
    CGuardedText command(fields[0]), pattern(fields[1]), replacement(fields[2]);

    for (size_t cbOut : {size_t{MAX_PATH}, size_t{8}}) {
        CGuardedText out;
        GuardedBuffer(out, std::string(), cbOut);
        ParseCommandPath(command.Get(), out.Get(), cbOut);
    }
    ContainsNoCase(command.Get(), pattern.Get());
    vm::FindCommandProgram(fields[0]);

    CGuardedText buffer;
    GuardedBuffer(buffer, fields[0], MAX_PATH);
    ReplaceNoCase(buffer.Get(), MAX_PATH, pattern.Get(), replacement.Get());
    GuardedBuffer(buffer, fields[0], fields[0].size() + 1);
    CutAtLastSpace(buffer.Get());
    GuardedBuffer(buffer, fields[0], fields[0].size() + 1);
    TrimTrailingSpaces(buffer.Get());
    GuardedBuffer(buffer, fields[0], fields[0].size() + 1);
    StripQuotes(buffer.Get());
    GuardedBuffer(buffer, fields[0], MAX_PATH);
    ReplaceFileName(buffer.Get(), MAX_PATH, pattern.Get());
}

// --- exclude and application lists ---------------------------------------------

bool PrepareLists(Corpus& a_corpus)
{
    a_corpus.m_cFields = 3;
    for (const std::string& strLiteral : LiteralsOf("tests\\policy\\ApplicationRulesTest.cpp")) {
        if (strLiteral.find('|') != std::string::npos)
            a_corpus.m_seeds.push_back(std::string("WINWORD.EXE") + '\0' + strLiteral + '\0' +
                                       strLiteral);
        if (strLiteral.size() <= 24)
            a_corpus.m_dictionary.push_back(strLiteral);
    }
    AddWords(a_corpus, {"|", "winword.exe", "WINWORD.EXE", "notepad.exe", "excel.exe", " ", "||"});
    // Every trace of the walk is formatted, the line trace included.
    g_bTraceEnabled = true;
    g_bTraceLineEnabled = true;
    return true;
}

void RunLists(const std::string& a_strInput)
{
    std::vector<std::string> fields = SplitFields(a_strInput);
    CLxShellExt ext;
    ext.m_strAppName = fields[0];
    CGuardedText exclude(fields.size() > 1 ? fields[1] : std::string());
    CGuardedText pmi(fields.size() > 2 ? fields[2] : std::string());
    ext.IsExcludeApplication(fields.size() > 1 ? exclude.Get() : nullptr,
                             fields.size() > 2 ? pmi.Get() : nullptr);
}

// --- company policy file and document header ----------------------------------

bool PreparePolicy(Corpus& a_corpus)
{
    AddLiterals(a_corpus, "tests\\cipher\\CipherTest.cpp", 1 << 20);
    AddLiterals(a_corpus, "tests\\cipher\\CipherToolTest.cpp", 1 << 20);
    std::string strSealed;
    if (cipherfmt::SealCcf("CompanyID=ACME\r\nDeleteOtherAddin=1\r\nWINWORD.EXE=wdplug.dll\r\n"
                           "ExcludeAppList=notepad.exe|winword.exe\r\n", &strSealed) == cipherfmt::SEAL_OK)
        a_corpus.m_seeds.push_back(strSealed);
    AddWords(a_corpus, {"LUMIDEX-CCF 1\r\n", "\r\n", "\n", "\r", "; note\r\n", "=", "CompanyID=",
                        "Checksum=", "Checksum=00000000", "DeleteOtherAddin=1", "WINWORD.EXE=wdplug.dll"});
    return true;
}

void RunPolicy(const std::string& a_strInput)
{
    std::string strBytes(a_strInput.data(), a_strInput.size());
    std::vector<cipherfmt::CcfField> fields;
    size_t nLine = 0;
    cipherfmt::ParseCcf(strBytes, &fields, &nLine);
    // Sealed again, a mutated file gets past its checksum into the field reader.
    std::string strSealed;
    if (cipherfmt::SealCcf(strBytes, &strSealed, &nLine) != cipherfmt::SEAL_OK)
        return;
    fields.clear();
    if (cipherfmt::ParseCcf(strSealed, &fields, &nLine) != CCF_VALID)
        return;
    for (const char* szName : {"CompanyID", "DeleteOtherAddin", "WINWORD.EXE", "", "checksum"})
        cipherfmt::FindCcfField(fields, szName);
}

bool PrepareHeader(Corpus& a_corpus)
{
    for (uint64_t cbPayload : {0ull, 1ull, 0xFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull}) {
        unsigned char header[cipherfmt::c_cbAcapHeader];
        cipherfmt::BuildAcapHeader(cbPayload, header);
        a_corpus.m_seeds.emplace_back(reinterpret_cast<char*>(header), sizeof(header));
    }
    AddWords(a_corpus, {"LMDXACAP", "\x01", "\x20", "\xff\xff\xff\xff"});
    return true;
}

void RunHeader(const std::string& a_strInput)
{
    CGuardedText bytes;
    bytes.AssignBytes(a_strInput);
    cipherfmt::AcapHeader header;
    cipherfmt::CheckAcapHeader(reinterpret_cast<const unsigned char*>(bytes.Get()), bytes.Size(),
                               &header);
}

// --- the whole hook ---------------------------------------------------------------

IShellExecuteHookA* s_pHook = nullptr;

bool PrepareHook(Corpus& a_corpus)
{
    a_corpus.m_cFields = 5;
    for (const char* szFile : {"tests\\decision\\DispatcherTest.cpp", "tests\\resolution\\ResolverTest.cpp"})
        for (const std::string& strLiteral : LiteralsOf(szFile))
            if (strLiteral.size() < 600) {
                a_corpus.m_seeds.push_back(strLiteral + '\0' + "open");
                if (strLiteral.size() <= 24)
                    a_corpus.m_dictionary.push_back(strLiteral);
            }
    AddWords(a_corpus, {"open", "print", "edit", "new", "read", "openas", "OpenHomePage", "C:\\",
                        "\\\\", ".doc", ".exe", ".txt", ".scf", ".bat", ".cmd", "\"", "notepad.exe",
                        "WINWORD.EXE", "shimgvw.dll", "C:\\windows\\", "Z:\\tmp\\", "%1"});
    if (!PrepareRegistry())
        return false;
    // Add-ins at load behaviour 3 start no regsvr32; with no policy file and an
    // empty registry nothing is controlled, so no request starts a process.
    for (const vm::COfficeAddin& addin : vm::c_officeAddins) {
        DWORD dwBehavior = vm::c_dwAddinLoadAtStartup;
        SHSetValueA(HKEY_CURRENT_USER, vm::OfficeAddinKey(addin).c_str(), "LoadBehavior", REG_DWORD, &dwBehavior,
                    sizeof(dwBehavior));
    }
    return SUCCEEDED(CDocHook::Create(nullptr, IID_IShellExecuteHookA, reinterpret_cast<void**>(&s_pHook)));
}

// The fields of an input as a request: file, verb, parameters, directory and
// class, each a guarded text of its own. A file text of "\x01" alone stands
// for a request without a file.
template <typename Info, typename Text, typename Convert>
void OfferFields(const std::string& a_strInput, Convert a_convert, void (*a_pfnOffer)(Info&))
{
    std::vector<std::string> fields = SplitFields(a_strInput);
    std::unique_ptr<Text> texts[5];
    for (size_t i = 0; i < fields.size() && i < 5; ++i)
        texts[i] = std::make_unique<Text>(a_convert(fields[i]));
    bool bNoFile = fields[0] == "\x01";
    Info sei{};
    sei.cbSize = sizeof(sei);
    sei.lpFile = bNoFile ? nullptr : texts[0]->Get();
    sei.lpVerb = texts[1] ? texts[1]->Get() : nullptr;
    sei.lpParameters = texts[2] ? texts[2]->Get() : nullptr;
    sei.lpDirectory = texts[3] ? texts[3]->Get() : nullptr;
    if (texts[4]) {
        sei.fMask = SEE_MASK_CLASSNAME;
        sei.lpClass = texts[4]->Get();
    }
    sei.nShow = SW_SHOWNORMAL;
    a_pfnOffer(sei);
}

void RunHook(const std::string& a_strInput)
{
    OfferFields<SHELLEXECUTEINFOA, CGuardedText>(
        a_strInput, [](const std::string& a_str) { return a_str; },
        [](SHELLEXECUTEINFOA& a_sei) { s_pHook->Execute(&a_sei); });
}

void FinishHook()
{
    if (s_pHook)
        s_pHook->Release();
    s_pHook = nullptr;
    FinishRegistry();
}

// --- the whole hook, offered wide requests -----------------------------------------

IShellExecuteHookW* s_pWideHook = nullptr;

// Each byte is the character of that code, except 0xFF: the two bytes after
// it are one UTF-16 unit, high byte first. So every unit can come up: Greek
// and CJK names, and halves of surrogate pairs on their own.
std::wstring WideFromFuzz(const std::string& a_strBytes)
{
    std::wstring strWide;
    for (size_t i = 0; i < a_strBytes.size(); ++i) {
        auto b = static_cast<unsigned char>(a_strBytes[i]);
        if (b == 0xFF && i + 2 < a_strBytes.size()) {
            strWide += static_cast<wchar_t>(static_cast<unsigned char>(a_strBytes[i + 1]) << 8 |
                                            static_cast<unsigned char>(a_strBytes[i + 2]));
            i += 2;
        } else {
            strWide += static_cast<wchar_t>(b);
        }
    }
    return strWide;
}

// A wide text whose terminating zero is the last readable character.
class CGuardedWideText {
public:
    explicit CGuardedWideText(const std::wstring& a_strText)
        : m_pText(static_cast<wchar_t*>(AllocateGuarded((a_strText.size() + 1) * sizeof(wchar_t))))
    {
        std::copy(a_strText.begin(), a_strText.end(), m_pText);
        m_pText[a_strText.size()] = L'\0';
    }
    ~CGuardedWideText() { FreeGuarded(m_pText); }
    CGuardedWideText(const CGuardedWideText&) = delete;
    CGuardedWideText& operator=(const CGuardedWideText&) = delete;
    wchar_t* Get() const { return m_pText; }

private:
    wchar_t* m_pText;
};

bool PrepareWideHook(Corpus& a_corpus)
{
    if (!PrepareHook(a_corpus))
        return false;
    // Greek, a name at MAX_PATH and one beyond it, a lone high surrogate.
    const std::string strGreek = "C:\\docs\\\xff\x03\xa3\xff\x03\xcd\xff\x03\xbc.vmp";
    a_corpus.m_seeds.push_back(strGreek + '\0' + "open");
    a_corpus.m_seeds.push_back("C:\\" + std::string(MAX_PATH - 7, 'n') + ".doc" + '\0' + "open");
    a_corpus.m_seeds.push_back("C:\\\xff\xd8\x3d" + std::string(300, 'x') + ".txt" + '\0' + "print");
    AddWords(a_corpus, {"\xff\x03\xa3", "\xff\xd8\x3d", "\xff\xdc\x01", "\xff\x30\x42", "\x81", "/D:"});
    return SUCCEEDED(s_pHook->QueryInterface(IID_IShellExecuteHookW, reinterpret_cast<void**>(&s_pWideHook)));
}

void RunWideHook(const std::string& a_strInput)
{
    OfferFields<SHELLEXECUTEINFOW, CGuardedWideText>(a_strInput, WideFromFuzz,
                                                     [](SHELLEXECUTEINFOW& a_sei) { s_pWideHook->Execute(&a_sei); });
}

void FinishWideHook()
{
    if (s_pWideHook)
        s_pWideHook->Release();
    s_pWideHook = nullptr;
    FinishHook();
}

void FinishNothing() {}

const Target c_targets[] = {
    {"script", PrepareScript, RunScript, FinishRegistry},
    {"command", PrepareCommand, RunCommand, FinishNothing},
    {"lists", PrepareLists, RunLists, FinishNothing},
    {"policy", PreparePolicy, RunPolicy, FinishNothing},
    {"header", PrepareHeader, RunHeader, FinishNothing},
    {"hook", PrepareHook, RunHook, FinishHook},
    {"widehook", PrepareWideHook, RunWideHook, FinishWideHook},
};

} // namespace

const Target* FindTarget(const std::string& a_strName)
{
    for (const Target& target : c_targets)
        if (a_strName == target.m_szName)
            return &target;
    return nullptr;
}

std::string TargetNames()
{
    std::string strNames;
    for (const Target& target : c_targets)
        strNames += std::string(strNames.empty() ? "" : ", ") + target.m_szName;
    return strNames;
}

} // namespace vmfuzz
