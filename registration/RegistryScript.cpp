#include "registration/RegistryScript.h"

#include "common/AnsiText.h"
#include "common/ModuleIdentity.h"
#include "registration/ErrorResults.h"
#include "registration/KeyTree.h"
#include "registration/ScriptLimits.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstring>

namespace {

// The registry nests keys at most this deep; a script nesting deeper is
// refused before its recursion could exhaust the stack of the host.
constexpr int c_nMaxBlockDepth = 512;

struct RootEntry {
    const char* m_szName;
    HKEY m_hKey;
};

// Short names first: the table is searched in this order.
const RootEntry c_roots[] = {
    {"HKCR", HKEY_CLASSES_ROOT},
    {"HKCU", HKEY_CURRENT_USER},
    {"HKLM", HKEY_LOCAL_MACHINE},
    {"HKU", HKEY_USERS},
    {"HKPD", HKEY_PERFORMANCE_DATA},
    {"HKDD", HKEY_DYN_DATA},
    {"HKCC", HKEY_CURRENT_CONFIG},
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Keys that other classes share: never deleted by force.
const char* const c_protectedNames[] = {"CLSID", "TYPELIB"};

// Frees a task-memory text when the run ends, on every path.
class CTaskMemText {
public:
    CTaskMemText() = default;
    ~CTaskMemText() { CoTaskMemFree(m_psz); }
    CTaskMemText(const CTaskMemText&) = delete;
    CTaskMemText& operator=(const CTaskMemText&) = delete;
    char** put() { return &m_psz; }
    char* get() const { return m_psz; }

private:
    char* m_psz = nullptr;
};

bool IsKeyword(const char* a_szToken, const char* a_szKeyword)
{
    return lstrcmpiA(a_szToken, a_szKeyword) == 0;
}

// A backslash may be the trail byte of a double-byte character: walk by
// characters, not by bytes.
bool HasBackslash(const char* a_szName)
{
    return vm::FindCharacter(a_szName, '\\') != nullptr;
}

bool IsProtectedName(const char* a_szName)
{
    for (const char* szProtected : c_protectedNames)
        if (lstrcmpiA(a_szName, szProtected) == 0)
            return true;
    return false;
}

// A nested block starts only at a lone brace: a key named "{...}" (a class
// id) must not be read as one.
bool IsBlockStart(const char* a_szToken)
{
    return a_szToken[0] == '{' && a_szToken[1] == '\0';
}

HKEY LookUpRoot(const char* a_szName)
{
    for (const RootEntry& root : c_roots)
        if (lstrcmpiA(a_szName, root.m_szName) == 0)
            return root.m_hKey;
    return nullptr;
}

HKEY OpenKey(HKEY a_hKeyParent, const char* a_szName, REGSAM a_sam)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(a_hKeyParent, a_szName, 0, a_sam, &hKey) != ERROR_SUCCESS)
        return nullptr;
    return hKey;
}

HKEY OpenOrCreateKey(HKEY a_hKeyParent, const char* a_szName, bool a_bMayCreate, bool& a_bCreated)
{
    a_bCreated = false;
    HKEY hKey = OpenKey(a_hKeyParent, a_szName, KEY_ALL_ACCESS);
    if (!hKey)
        hKey = OpenKey(a_hKeyParent, a_szName, KEY_READ);
    if (hKey || !a_bMayCreate)
        return hKey;
    DWORD dwDisposition = 0;
    if (RegCreateKeyExA(a_hKeyParent, a_szName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                        &dwDisposition) != ERROR_SUCCESS)
        return nullptr;
    a_bCreated = dwDisposition == REG_CREATED_NEW_KEY;
    return hKey;
}

bool ValueExists(HKEY a_hKey, const char* a_szName)
{
    return RegQueryValueExA(a_hKey, a_szName, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
}

// Makes a_hKeyNew the current key and closes the one it replaces.
HRESULT ReplaceCurrentKey(vm::UniqueKey& a_key, HKEY a_hKeyNew)
{
    HKEY hKeyOld = a_key.release();
    a_key.reset(a_hKeyNew);
    if (hKeyOld && RegCloseKey(hKeyOld) != ERROR_SUCCESS)
        return DISP_E_EXCEPTION;
    return S_OK;
}

// Copies at most a_cbDest - 1 bytes, never splitting a double-byte character.
void CopyCut(char* a_szDest, size_t a_cbDest, const char* a_szSource)
{
    size_t cb = 0;
    for (const char* p = a_szSource; *p;) {
        const char* pNext = vm::NextCharacter(p);
        size_t cbChar = static_cast<size_t>(pNext - p);
        if (cb + cbChar >= a_cbDest)
            break;
        std::memcpy(a_szDest + cb, p, cbChar);
        cb += cbChar;
        p = pNext;
    }
    a_szDest[cb] = '\0';
}

int HexDigitValue(char a_ch)
{
    if (a_ch >= '0' && a_ch <= '9')
        return a_ch - '0';
    if (a_ch >= 'A' && a_ch <= 'F')
        return a_ch - 'A' + 10;
    if (a_ch >= 'a' && a_ch <= 'f')
        return a_ch - 'a' + 10;
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Walks

HRESULT CRegistryScript::RunScriptResource(const wchar_t* a_wszModulePath, UINT a_uResourceId,
                                           bool a_bRegister)
{
    char szPath[MAX_PATH];
    if (!WideCharToMultiByte(CP_ACP, 0, a_wszModulePath, -1, szPath, MAX_PATH, nullptr, nullptr))
        return LastErrorResult();
    vm::UniqueLibrary module(LoadLibraryExA(szPath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        return LastErrorResult();
    HRSRC hResource = FindResourceA(module.get(), MAKEINTRESOURCEA(a_uResourceId), "REGISTRY");
    if (!hResource)
        return LastErrorResult();
    HGLOBAL hData = LoadResource(module.get(), hResource);
    if (!hData)
        return LastErrorResult();
    DWORD cbScript = SizeofResource(module.get(), hResource);
    const void* pScript = LockResource(hData);
    if (!pScript && cbScript)
        return LastErrorResult();

    // The resource carries no terminating zero.
    CTaskMemText text;
    *text.put() = static_cast<char*>(CoTaskMemAlloc(static_cast<SIZE_T>(cbScript) + 1));
    if (!text.get())
        return E_OUTOFMEMORY;
    if (cbScript)
        std::memcpy(text.get(), pScript, cbScript);
    text.get()[cbScript] = '\0';
    return RunScript(text.get(), a_bRegister);
}

HRESULT CRegistryScript::RunScript(const char* a_szText, bool a_bRegister)
{
    CTaskMemText expanded;
    HRESULT hr = ExpandVariables(m_variables, a_szText, expanded.put());
    if (FAILED(hr))
        return hr;

    char szToken[c_cbToken];
    m_tokens.SetReadingPosition(expanded.get());
    // Only an empty text is an empty script: white space alone is a root
    // block whose name is missing.
    while (*m_tokens.ReadingPosition()) {
        hr = m_tokens.ReadToken(szToken);
        if (FAILED(hr))
            break;
        HKEY hKeyRoot = LookUpRoot(szToken);
        if (!hKeyRoot) {
            hr = DISP_E_EXCEPTION;
            break;
        }
        hr = m_tokens.ReadToken(szToken);
        if (FAILED(hr))
            break;
        if (szToken[0] != '{') {
            hr = DISP_E_EXCEPTION;
            break;
        }
        m_path.Reset(hKeyRoot);
        if (a_bRegister) {
            const char* pszBlock = m_tokens.ReadingPosition();
            m_created.Clear();
            hr = ProcessBlock(szToken, hKeyRoot, true, false);
            if (FAILED(hr)) {
                // Take out again what this root block has written; the blocks
                // before it stay registered.
                m_tokens.SetReadingPosition(pszBlock);
                m_bTakingBack = true;
                ProcessBlock(szToken, hKeyRoot, false, false);
                m_bTakingBack = false;
                break;
            }
        } else {
            hr = ProcessBlock(szToken, hKeyRoot, false, false);
            if (FAILED(hr))
                break;
        }
        m_tokens.SkipBlanks();
    }
    m_tokens.SetReadingPosition("");
    return hr;
}

HRESULT CRegistryScript::ProcessBlock(char* a_szToken, HKEY a_hKeyParent, bool a_bRegister,
                                      bool a_bRecovering)
{
    if (m_nDepth >= c_nMaxBlockDepth)
        return DISP_E_EXCEPTION;
    ++m_nDepth;
    BlockState block;
    block.m_bRecovering = a_bRecovering;
    block.m_bRecoveringAtEntry = a_bRecovering;
    block.m_cchPath = m_path.Length();
    HRESULT hr = m_tokens.ReadToken(a_szToken);
    while (SUCCEEDED(hr) && a_szToken[0] != '}') {
        hr = a_bRegister ? RegisterStatement(a_szToken, a_hKeyParent, block)
                         : UnregisterStatement(a_szToken, a_hKeyParent, block);
    }
    m_path.Truncate(block.m_cchPath);
    --m_nDepth;
    return hr;
}

HRESULT CRegistryScript::RegisterStatement(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block)
{
    HRESULT hr = S_OK;
    if (IsKeyword(a_szToken, "ForceRemove") || IsKeyword(a_szToken, "Delete")) {
        bool bDelete = IsKeyword(a_szToken, "Delete");
        hr = m_tokens.ReadToken(a_szToken);
        if (FAILED(hr))
            return hr;
        if (HasBackslash(a_szToken))
            return DISP_E_EXCEPTION;
        if (!IsProtectedName(a_szToken))
            DeleteKeyTree(a_hKeyParent, a_szToken); // a missing key is no error
        if (bDelete) {
            hr = m_tokens.ReadToken(a_szToken);
            if (SUCCEEDED(hr))
                hr = SkipValueAssignment(a_szToken);
            if (FAILED(hr))
                return hr;
            return EnterNestedBlock(a_szToken, a_block);
        }
    }
    if (IsKeyword(a_szToken, "NoRemove")) {
        hr = m_tokens.ReadToken(a_szToken);
        if (FAILED(hr))
            return hr;
        a_block.m_bRemove = false;
    }
    hr = IsKeyword(a_szToken, "Val") ? RegisterValue(a_szToken, a_hKeyParent, a_block)
                                     : RegisterKey(a_szToken, a_hKeyParent, a_block);
    if (FAILED(hr))
        return hr;
    return EnterNestedBlock(a_szToken, a_block);
}

HRESULT CRegistryScript::EnterNestedBlock(char* a_szToken, BlockState& a_block)
{
    if (!IsBlockStart(a_szToken))
        return S_OK; // the token starts the next statement
    // With no key statement before it the block nests in no key: its keys
    // can be neither opened nor created, and its values go nowhere.
    HRESULT hr = ProcessBlock(a_szToken, a_block.m_key.get(), true, false);
    if (FAILED(hr))
        return hr;
    return m_tokens.ReadToken(a_szToken);
}

HRESULT CRegistryScript::RegisterKey(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block)
{
    if (HasBackslash(a_szToken))
        return DISP_E_EXCEPTION;
    m_path.Truncate(a_block.m_cchPath);
    m_path.AppendKey(a_szToken);
    // A key deeper than the walk can name could not be taken back after a
    // failure: it is opened when it exists, never created.
    bool bCreated = false;
    HKEY hKey = OpenOrCreateKey(a_hKeyParent, a_szToken, m_path.IsKnown(), bCreated);
    if (!hKey)
        return DISP_E_EXCEPTION;
    if (bCreated && !m_created.Add(m_path, m_path.Length(), nullptr)) {
        // Unrecorded, a failed run could not take it back.
        RegCloseKey(hKey);
        RegDeleteKeyA(a_hKeyParent, a_szToken);
        return E_OUTOFMEMORY;
    }
    HRESULT hr = ReplaceCurrentKey(a_block.m_key, hKey);
    if (FAILED(hr))
        return hr;
    hr = m_tokens.ReadToken(a_szToken);
    if (FAILED(hr))
        return hr;
    if (a_szToken[0] == '=')
        return WriteValue(a_block.m_key.get(), "", a_szToken);
    return S_OK;
}

HRESULT CRegistryScript::RegisterValue(char* a_szToken, HKEY a_hKeyParent, const BlockState& a_block)
{
    char szValueName[c_cbValueName];
    HRESULT hr = ReadValueHead(a_szToken, szValueName);
    if (FAILED(hr))
        return hr;
    if (!ValueExists(a_hKeyParent, szValueName)) {
        if (!m_path.IsKnown(a_block.m_cchPath))
            return DISP_E_EXCEPTION; // as for a key: it could not be taken back
        if (!m_created.Add(m_path, a_block.m_cchPath, szValueName))
            return E_OUTOFMEMORY;
    }
    return WriteValue(a_hKeyParent, szValueName, a_szToken);
}

HRESULT CRegistryScript::UnregisterStatement(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block)
{
    HRESULT hr = S_OK;
    // Nothing is deleted by force when unregistering: the name is a key
    // statement like any other.
    if (IsKeyword(a_szToken, "ForceRemove") || IsKeyword(a_szToken, "Delete")) {
        hr = m_tokens.ReadToken(a_szToken);
        if (FAILED(hr))
            return hr;
        return UnregisterKey(a_szToken, a_hKeyParent, a_block);
    }
    if (IsKeyword(a_szToken, "NoRemove")) {
        // Stays cleared for the rest of the block.
        a_block.m_bRemove = false;
        hr = m_tokens.ReadToken(a_szToken);
        if (FAILED(hr))
            return hr;
    }
    if (IsKeyword(a_szToken, "Val"))
        return UnregisterValue(a_szToken, a_hKeyParent, a_block);
    return UnregisterKey(a_szToken, a_hKeyParent, a_block);
}

HRESULT CRegistryScript::UnregisterValue(char* a_szToken, HKEY a_hKeyParent, const BlockState& a_block)
{
    char szValueName[c_cbValueName];
    HRESULT hr = ReadValueHead(a_szToken, szValueName);
    if (FAILED(hr))
        return hr;
    if (!a_block.m_bRecovering && MayRemove(a_block.m_cchPath, szValueName))
        RegDeleteValueA(a_hKeyParent, szValueName);
    return SkipValueAssignment(a_szToken);
}

// A key statement while unregistering, in one of three modes: recovering
// (nothing changes), taking a failed registration back, or the normal walk.
HRESULT CRegistryScript::UnregisterKey(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block)
{
    if (HasBackslash(a_szToken))
        return DISP_E_EXCEPTION;
    m_path.Truncate(a_block.m_cchPath);
    m_path.AppendKey(a_szToken);
    if (!a_block.m_bRecovering)
        VM_RETURN_IF_FAILED(OpenKeyToUnregister(a_szToken, a_hKeyParent, a_block));
    if (a_block.m_bRecovering)
        return UnregisterKeyRecovering(a_szToken, a_block);

    char szSavedName[c_cbSavedKeyName];
    CopyCut(szSavedName, sizeof(szSavedName), a_szToken);
    HKEY hKey = a_block.m_key.get();
    if (!KeyHasSubkeys(hKey) && !KeyHasNamedValues(hKey))
        return RemoveEmptyKey(a_szToken, a_hKeyParent, szSavedName, a_block);
    if (m_bTakingBack)
        return TakeBackKeyInUse(a_szToken, a_hKeyParent, szSavedName, a_block);
    return UnregisterKeyInUse(a_szToken, a_hKeyParent, szSavedName, a_block);
}

HRESULT CRegistryScript::OpenKeyToUnregister(const char* a_szName, HKEY a_hKeyParent, BlockState& a_block)
{
    // Read access alone would not let a "Val" statement of the key's block
    // delete its value; a key we may only read is still walked.
    HKEY hKey = OpenKey(a_hKeyParent, a_szName, KEY_READ | KEY_SET_VALUE);
    if (!hKey)
        hKey = OpenKey(a_hKeyParent, a_szName, KEY_READ);
    if (!hKey)
        a_block.m_bRecovering = true;
    return ReplaceCurrentKey(a_block.m_key, hKey);
}

HRESULT CRegistryScript::UnregisterKeyRecovering(char* a_szToken, BlockState& a_block)
{
    VM_RETURN_IF_FAILED(ReadPastAssignment(a_szToken));
    if (!IsBlockStart(a_szToken))
        return S_OK; // the current token starts the next statement
    VM_RETURN_IF_FAILED(ProcessBlock(a_szToken, a_block.m_key.get(), false, true));
    a_block.m_bRecovering = a_block.m_bRecoveringAtEntry;
    return ReadPastAssignment(a_szToken);
}

HRESULT CRegistryScript::RemoveEmptyKey(char* a_szToken, HKEY a_hKeyParent, const char* a_szName,
                                        BlockState& a_block)
{
    VM_RETURN_IF_FAILED(CloseAndRemoveKey(a_hKeyParent, a_szName, a_block));
    VM_RETURN_IF_FAILED(ReadPastAssignment(a_szToken));
    if (!IsBlockStart(a_szToken))
        return S_OK;
    return SkipNestedBlock(a_szToken);
}

HRESULT CRegistryScript::UnregisterKeyInUse(char* a_szToken, HKEY a_hKeyParent, const char* a_szName,
                                            BlockState& a_block)
{
    VM_RETURN_IF_FAILED(ReadPastAssignment(a_szToken));
    bool bWalkedBlock = IsBlockStart(a_szToken);
    if (bWalkedBlock)
        VM_RETURN_IF_FAILED(ProcessBlock(a_szToken, a_block.m_key.get(), false, false));
    bool bKeyStays = KeyHasSubkeys(a_block.m_key.get());
    if (bKeyStays) {
        // Only a subkey that bears the key's own name goes.
        if (!IsProtectedName(a_szName))
            DeleteKeyTree(a_block.m_key.get(), a_szName);
    } else {
        VM_RETURN_IF_FAILED(CloseAndRemoveKey(a_hKeyParent, a_szName, a_block));
    }
    return ReadPastKeyBlock(a_szToken, bWalkedBlock, bKeyStays);
}

HRESULT CRegistryScript::TakeBackKeyInUse(char* a_szToken, HKEY a_hKeyParent, const char* a_szName,
                                          BlockState& a_block)
{
    VM_RETURN_IF_FAILED(ReadPastAssignment(a_szToken));
    bool bWalkedBlock = IsBlockStart(a_szToken);
    // The keys around the failure still go: an error of the block ends this
    // level only once its key is dealt with.
    HRESULT hrBlock = bWalkedBlock ? ProcessBlock(a_szToken, a_block.m_key.get(), false, false) : S_OK;
    // A key that stays keeps even a subkey bearing its own name, as no
    // statement created that one.
    bool bKeyStays = KeyHasSubkeys(a_block.m_key.get());
    if (!bKeyStays)
        VM_RETURN_IF_FAILED(CloseAndRemoveKey(a_hKeyParent, a_szName, a_block));
    VM_RETURN_IF_FAILED(hrBlock);
    return ReadPastKeyBlock(a_szToken, bWalkedBlock, bKeyStays);
}

HRESULT CRegistryScript::ReadPastKeyBlock(char* a_szToken, bool a_bWalkedBlock, bool a_bKeyStays)
{
    // Without a block the token after the assignment already starts the next
    // statement; reading on would lose it.
    if (!a_bWalkedBlock)
        return S_OK;
    if (a_bKeyStays)
        return m_tokens.ReadToken(a_szToken);
    return ReadPastAssignment(a_szToken);
}

HRESULT CRegistryScript::CloseAndRemoveKey(HKEY a_hKeyParent, const char* a_szName, BlockState& a_block)
{
    HRESULT hr = ReplaceCurrentKey(a_block.m_key, nullptr);
    if (FAILED(hr))
        return hr;
    // An empty name opens the parent itself, which is not this statement's
    // to delete.
    if (a_block.m_bRemove && *a_szName && MayRemove(m_path.Length(), nullptr))
        RegDeleteKeyA(a_hKeyParent, a_szName);
    return S_OK;
}

// A failed registration takes back only what it created: keys and values
// that were there before the run stay, even when the run emptied them.
bool CRegistryScript::MayRemove(size_t a_cchKey, const char* a_szValue) const
{
    return !m_bTakingBack || m_created.Contains(m_path, a_cchKey, a_szValue);
}

HRESULT CRegistryScript::SkipNestedBlock(char* a_szToken)
{
    // A recovering walk reads the statements and changes nothing.
    VM_RETURN_IF_FAILED(ProcessBlock(a_szToken, nullptr, false, true));
    return ReadPastAssignment(a_szToken);
}

HRESULT CRegistryScript::ReadValueHead(char* a_szToken, char* a_szValueName)
{
    HRESULT hr = m_tokens.ReadToken(a_szToken);
    if (FAILED(hr))
        return hr;
    size_t cb = std::strlen(a_szToken);
    // A cut name would write or delete another value than the script names.
    if (cb >= c_cbValueName)
        return DISP_E_EXCEPTION;
    std::memcpy(a_szValueName, a_szToken, cb + 1);
    hr = m_tokens.ReadToken(a_szToken);
    if (FAILED(hr))
        return hr;
    return a_szToken[0] == '=' ? S_OK : DISP_E_EXCEPTION;
}

HRESULT CRegistryScript::ReadPastAssignment(char* a_szToken)
{
    VM_RETURN_IF_FAILED(m_tokens.ReadToken(a_szToken));
    return SkipValueAssignment(a_szToken);
}

HRESULT CRegistryScript::SkipValueAssignment(char* a_szToken)
{
    if (a_szToken[0] != '=')
        return S_OK;
    char szText[c_cbToken];
    HRESULT hr = m_tokens.ReadToken(szText); // the type letter
    if (FAILED(hr))
        return hr;
    hr = m_tokens.ReadToken(szText); // the value text
    if (FAILED(hr))
        return hr;
    return m_tokens.ReadToken(a_szToken);
}

HRESULT CRegistryScript::WriteValue(HKEY a_hKey, const char* a_szValueName, char* a_szToken)
{
    char szType[c_cbToken];
    HRESULT hr = m_tokens.ReadToken(szType);
    if (FAILED(hr))
        return hr;
    bool bString = IsKeyword(szType, "S");
    bool bDword = IsKeyword(szType, "D");
    bool bBinary = IsKeyword(szType, "B");
    if (!bString && !bDword && !bBinary)
        return DISP_E_EXCEPTION;

    char szText[c_cbToken];
    hr = m_tokens.ReadToken(szText);
    if (FAILED(hr))
        return hr;
    size_t cbText = std::strlen(szText);

    if (bString) {
        RegSetValueExA(a_hKey, a_szValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szText),
                       static_cast<DWORD>(cbText + 1));
    } else if (bDword) {
        wchar_t wszText[c_cbToken];
        ULONG ulValue = 0; // what a text that does not convert writes
        if (MultiByteToWideChar(CP_ACP, 0, szText, -1, wszText, static_cast<int>(c_cbToken)))
            VarUI4FromStr(wszText, 0, 0, &ulValue);
        DWORD dwValue = ulValue;
        RegSetValueExA(a_hKey, a_szValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                       sizeof(dwValue));
    } else {
        if (cbText % 2)
            return E_FAIL;
        BYTE abData[c_cbToken / 2] = {};
        for (size_t i = 0; i < cbText; ++i) {
            int nDigit = HexDigitValue(szText[i]);
            abData[i / 2] |= static_cast<BYTE>(i % 2 ? nDigit : nDigit << 4);
        }
        RegSetValueExA(a_hKey, a_szValueName, 0, REG_BINARY, abData, static_cast<DWORD>(cbText / 2));
    }
    return m_tokens.ReadToken(a_szToken);
}

// ---------------------------------------------------------------------------
// The module's own script

HRESULT RunRegistrationScript(UINT a_uResourceId, BOOL a_bRegister)
{
    char szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameA(g_hInstance, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return LastErrorResult();
    wchar_t wszPath[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, szPath, -1, wszPath, MAX_PATH))
        return LastErrorResult();

    // The path stands inside a quoted text of the script.
    wchar_t wszDoubled[2 * MAX_PATH];
    size_t cchDoubled = 0;
    for (const wchar_t* p = wszPath; *p; ++p) {
        wszDoubled[cchDoubled++] = *p;
        if (*p == L'\'')
            wszDoubled[cchDoubled++] = L'\'';
    }
    wszDoubled[cchDoubled] = L'\0';

    CScriptVariables variables;
    // A variable that could not be stored is missing, and the script's use of
    // it fails.
    variables.Add(L"Module", wszDoubled);
    CRegistryScript script(variables);
    return script.RunScriptResource(wszPath, a_uResourceId, a_bRegister != FALSE);
}
