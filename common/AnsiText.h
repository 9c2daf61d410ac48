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

} // namespace vm
