#pragma once
// Stepping through a text in the process's ANSI code page, which may be a
// double-byte one.

#include <windows.h>

namespace vm {

// The character after a_p, stepped in our own code: the runtime's multibyte
// scans step over the terminating zero when a text ends in a lone lead byte.
// A lead byte followed by the zero counts as one byte, and at the zero the
// scan stays there.
inline const char* NextCharacter(const char* a_p)
{
    if (!*a_p)
        return a_p;
    return (IsDBCSLeadByte(static_cast<BYTE>(*a_p)) && a_p[1]) ? a_p + 2 : a_p + 1;
}

// The first a_ch that is a whole character (never a trail byte), or null.
inline const char* FindCharacter(const char* a_szText, char a_ch)
{
    for (const char* p = a_szText; *p; p = NextCharacter(p))
        if (*p == a_ch)
            return p;
    return nullptr;
}
inline char* FindCharacter(char* a_szText, char a_ch)
{
    return const_cast<char*>(FindCharacter(static_cast<const char*>(a_szText), a_ch));
}

} // namespace vm
