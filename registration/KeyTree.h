#pragma once
// What the registration walks ask of a key's tree, and the removal of a whole
// tree.

#include <windows.h>

// Deletes a_szName below a_hKeyParent with all its subkeys; a Win32 error code.
LONG DeleteKeyTree(HKEY a_hKeyParent, const char* a_szName);
bool KeyHasSubkeys(HKEY a_hKey);
// True when the key holds a value other than a lone default value.
bool KeyHasNamedValues(HKEY a_hKey);
