#pragma once
// The registration-script processor: expands the variables of a script, reads
// its tokens and walks its blocks into the registry (register) or out of it
// (unregister). It knows nothing of any class: all of that is in the script.

#include "common/Handle.h"
#include "registration/ScriptTokenizer.h"
#include "registration/TakeBackRecord.h"

#include <windows.h>

// Resource holding the module's own registration script.
constexpr UINT c_uRegistryResourceId = 101;

class CRegistryScript {
public:
    explicit CRegistryScript(const CScriptVariables& a_variables) : m_variables(a_variables) {}
    CRegistryScript(const CRegistryScript&) = delete;
    CRegistryScript& operator=(const CRegistryScript&) = delete;

    // Loads the "REGISTRY" resource a_uResourceId from the module file as data
    // and runs it.
    HRESULT RunScriptResource(const wchar_t* a_wszModulePath, UINT a_uResourceId, bool a_bRegister);
    // Expands the variables of a_szText and walks its root blocks. A failed
    // registration takes its failing root block out again.
    HRESULT RunScript(const char* a_szText, bool a_bRegister);

private:
    // What one level of a walk keeps while it reads its statements.
    struct BlockState {
        vm::UniqueKey m_key; // the current key: the one the last key statement opened
        bool m_bRemove = true;
        bool m_bRecovering = false;
        bool m_bRecoveringAtEntry = false;
        size_t m_cchPath = 0; // m_path at entry: the key the statements live in
    };

    HRESULT ProcessBlock(char* a_szToken, HKEY a_hKeyParent, bool a_bRegister, bool a_bRecovering);
    HRESULT RegisterStatement(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block);
    HRESULT EnterNestedBlock(char* a_szToken, BlockState& a_block);
    HRESULT RegisterKey(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block);
    HRESULT RegisterValue(char* a_szToken, HKEY a_hKeyParent, const BlockState& a_block);
    HRESULT UnregisterStatement(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block);
    HRESULT UnregisterKey(char* a_szToken, HKEY a_hKeyParent, BlockState& a_block);
    // Opens the key of the statement as the block's current key; a missing
    // key makes the block recovering.
    HRESULT OpenKeyToUnregister(const char* a_szName, HKEY a_hKeyParent, BlockState& a_block);
    // Below a missing key nothing changes: a block written for the key is
    // read through, and then the walk recovers as it did at the block's
    // entry. Without such a block the rest of the block stays recovering.
    HRESULT UnregisterKeyRecovering(char* a_szToken, BlockState& a_block);
    // Neither subkeys nor values of its own: the key goes, and a block
    // written for it is passed over without touching anything.
    HRESULT RemoveEmptyKey(char* a_szToken, HKEY a_hKeyParent, const char* a_szName, BlockState& a_block);
    // A key with subkeys or values: its block is walked first, and the key
    // goes when no subkey is left in it. The normal walk and the one taking
    // a failed registration back differ in what a failure of the block ends.
    HRESULT UnregisterKeyInUse(char* a_szToken, HKEY a_hKeyParent, const char* a_szName, BlockState& a_block);
    HRESULT TakeBackKeyInUse(char* a_szToken, HKEY a_hKeyParent, const char* a_szName, BlockState& a_block);
    // After a key's statement: the token behind its block, and for a key that
    // went, an assignment written there.
    HRESULT ReadPastKeyBlock(char* a_szToken, bool a_bWalkedBlock, bool a_bKeyStays);
    HRESULT UnregisterValue(char* a_szToken, HKEY a_hKeyParent, const BlockState& a_block);
    HRESULT CloseAndRemoveKey(HKEY a_hKeyParent, const char* a_szName, BlockState& a_block);
    // Whether the walk may remove the key of the first a_cchKey characters
    // of its path, or that key's value a_szValue when that is not null.
    bool MayRemove(size_t a_cchKey, const char* a_szValue) const;
    HRESULT SkipNestedBlock(char* a_szToken);
    // Reads a value name and the "=" that must follow it.
    HRESULT ReadValueHead(char* a_szToken, char* a_szValueName);
    // Reads the next token and, when it starts an assignment, passes that
    // over to the token behind it.
    HRESULT ReadPastAssignment(char* a_szToken);
    HRESULT SkipValueAssignment(char* a_szToken);
    HRESULT WriteValue(HKEY a_hKey, const char* a_szValueName, char* a_szToken);

    const CScriptVariables& m_variables;
    CScriptTokenizer m_tokens;
    // Set while a failed registration takes its root block out again: a
    // script error then still lets the enclosing keys of the failure go, but
    // only keys and values that the failed walk created go at all.
    bool m_bTakingBack = false;
    CKeyPath m_path; // of the current key of the innermost block
    CCreatedItems m_created;
    int m_nDepth = 0;
};

// Runs the module's own script resource with the variable "Module" set to the
// module's path (apostrophes doubled for quoted texts).
HRESULT RunRegistrationScript(UINT a_uResourceId, BOOL a_bRegister);
