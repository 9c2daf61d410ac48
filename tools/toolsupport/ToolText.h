#pragma once
// Text helpers of the command-line tools. Their output is read line by line
// by scripts, so a debugger text must never break a line.

#include <string>

namespace vmtool {

// The text with each line feed shown as the two characters "\n" and each
// carriage return as "\r"; everything else, backslashes included, as it is
// (trace texts are full of paths).
std::string EscapeLineBreaks(const char* a_pText, size_t a_cch);

// A decimal number of at most a_uMax without sign, blanks or other
// characters; false for anything else.
bool ParseDecimal(const char* a_szText, unsigned long a_uMax, unsigned long& a_uValue);

// Plain line feeds on standard output, whatever the C runtime's text mode
// would make of them: the readers are scripts, often on the Unix side.
void UseBinaryStdout();

} // namespace vmtool
