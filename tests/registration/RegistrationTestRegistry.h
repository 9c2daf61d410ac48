#pragma once
// Registry helpers of the registration tests: a readable dump of key trees and
// the means to lay out a known state in the same notation.

#include "tests/support/RegistryRedirect.h"

#include <windows.h>

#include <string>
#include <vector>

namespace vmtest {

// Every value and subkey below a_hKey, sorted, one entry per item joined by
// ";": subkeys as "<prefix>\path", values as "<prefix>\path|name=data" (the
// key's own values as "<prefix>|name=data"). Strings are shown as they are,
// DWORDs as "#<decimal>", binary data as "0x<hex>".
std::string DumpKeyTree(HKEY a_hKey, const std::string& a_strPrefix);

// Creates what a dump in the same notation lists (strings values only),
// below a_hKey; entries start with their path, without a prefix.
void LayOutKeys(HKEY a_hKey, const std::string& a_strEntries);

// The ";"-separated entries of a dump.
std::vector<std::string> SplitEntries(const std::string& a_strEntries);

// The string value, or "<missing>".
std::string ReadStringValue(HKEY a_hKeyRoot, const std::string& a_strPath, const std::string& a_strName);

// A type library is registered for the platform of the module that registers
// it: under "0\win32" by the 32-bit build, under "0\win64" by the x64 build.
constexpr const char* c_szTypeLibPlatformKey = sizeof(void*) == 8 ? "\\0\\win64" : "\\0\\win32";

} // namespace vmtest
