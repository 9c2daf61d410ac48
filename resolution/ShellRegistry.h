#pragma once
// The registry reader and writer of the application-resolution code.

#include "common/Handle.h"

#include <windows.h>

// Reads registry values: one value at a time (QueryRegistryValue), or by a
// walk Open -> SubOpen... -> QueryData -> Close that holds one key at a time.
//
// A walk passes through keys it opened itself and may start at a key that
// belongs to the caller (a predefined root, the class key of a shell
// request). Only keys this object opened are ever closed, and each of them
// as soon as the walk leaves it, so a walk holds at most one handle.
class CLxShellRegistry {
public:
    CLxShellRegistry() = default;
    ~CLxShellRegistry() = default; // an owned key closes with m_keyOwned
    CLxShellRegistry(const CLxShellRegistry&) = delete;
    CLxShellRegistry& operator=(const CLxShellRegistry&) = delete;

    LONG QueryRegistryValue(HKEY a_hRoot, const char* a_szSubKey, const char* a_szValueName,
                            BYTE* a_pData, DWORD* a_pcbData);
    bool Open(HKEY a_hRoot, const char* a_szSubKey);
    bool SubOpen(const char* a_szName);
    bool QueryData(const char* a_szValueName, BYTE* a_pData, DWORD* a_pcbData);
    void Close();

    // The key currently held; null when none.
    HKEY Key() const { return m_hKey; }

private:
    void Hold(HKEY a_hKey, bool a_bOwned);

    HKEY m_hKey = nullptr;     // the held key, owned or the caller's
    vm::UniqueKey m_keyOwned;  // set when the held key was opened here
};

// Writes one value: open or create the key, set the value, close.
class CRegistryWriter {
public:
    LONG SetReg(HKEY a_hRoot, const char* a_szSubKey, const char* a_szValueName, DWORD a_dwType,
                const BYTE* a_pData, DWORD a_cbData, bool a_bCreate);
    LONG OpenKey(HKEY a_hRoot, const char* a_szSubKey, REGSAM a_samDesired, bool a_bCreate);
    LONG CloseKey();

private:
    vm::UniqueKey m_hKey;
};

// Registry texts are read with a capacity of MAX_PATH bytes into buffers of
// one byte more: a value that fills the whole capacity without a zero of its
// own (a string stored without one, a binary value) still ends in a zero.
constexpr DWORD c_cbRegistryText = MAX_PATH;
using RegistryText = char[c_cbRegistryText + 1];

LONG QueryRegistryText(HKEY a_hRoot, const char* a_szSubKey, const char* a_szValueName,
                       RegistryText& a_szText);
bool QueryDataText(CLxShellRegistry& a_registry, const char* a_szValueName, RegistryText& a_szText);
