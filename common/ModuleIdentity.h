#pragma once
// The module's own identity: the instance handle the loader gave it and the
// file it was loaded from. Every room that names a file beside the module
// (the launcher, the add-ins, the plug-ins, the registration script) asks
// here; what the module keeps for COM lives in module/.

#include <windows.h>

#include <string>

extern HINSTANCE g_hInstance;

// Full path of this module's file; empty on failure. Code linked into
// another binary (the tests) sees that binary as its module.
std::string GetOwnModulePath();
