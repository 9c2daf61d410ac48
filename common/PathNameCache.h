#pragma once
// GetLongPathNameA and GetShortPathNameA, with the answers for full local
// paths remembered while no folder along the path can have changed. Each
// look-up walks every folder of the path on disk; the check that none of them
// changed reads one directory entry a folder instead. Same contract as the
// system functions: a remembered failure sets the error code the system
// function set; an answer that does not fit always comes from the system
// function itself.

#include <windows.h>

DWORD CachedLongPathName(const char* a_szPath, char* a_szOut, DWORD a_cchOut);
DWORD CachedShortPathName(const char* a_szPath, char* a_szOut, DWORD a_cchOut);
