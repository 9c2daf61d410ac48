#pragma once
// Sizes of the registration-script processor's working buffers; each sets a
// limit of the language.

#include <windows.h>

constexpr size_t c_cbToken = 4096;       // one token, with its terminating zero
constexpr size_t c_cbVariableName = 32;  // a name between two "%" signs
constexpr size_t c_cbValueName = MAX_PATH; // the name of a "Val" statement
constexpr size_t c_cbSavedKeyName = MAX_PATH;
constexpr DWORD c_cchSubkeyName = 256;   // one level while deleting a tree
