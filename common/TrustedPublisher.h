#pragma once
// The publisher rule: where the company policy lists certificate thumbprints
// in "TrustedPublishers", a program receives a plug-in only when, besides
// lying in a trusted folder, it carries a valid Authenticode signature whose
// signer certificate has one of them. The hook, the launcher and the plug-in
// ask this through the trust rule (TrustedProgram.h); the lint and vmcheck
// judge the entries' form with it.

#include <string>
#include <vector>

namespace vm {

constexpr char c_szTrustedPublishersField[] = "TrustedPublishers";

// The entries of a "TrustedPublishers" value (separated by ';'), blanks
// around them removed, empty ones left out, as written.
std::vector<std::string> SplitTrustedPublishers(const char* a_szTrustedPublishers);

// Why an entry is no thumbprint: a SHA-1 thumbprint is 40 hexadecimal digits,
// a SHA-256 one 64 (letter case ignored; the blanks Windows shows between the
// digit pairs may be kept). Null when it is one.
const char* WhyThumbprintIsMalformed(const std::string& a_strEntry);

// The entry as the rule compares it: its hexadecimal digits in upper case.
std::string NormalizedThumbprint(const std::string& a_strEntry);

// True when the file a_strFinal (a final path) carries a valid signature
// whose signer's SHA-1 or SHA-256 thumbprint is one of a_szTrustedPublishers.
// The answer for a file is kept per file identity, size and write and change
// times, so a controlled open pays for the signature check once.
bool IsSignedByTrustedPublisher(const std::wstring& a_strFinal, const char* a_szTrustedPublishers);

} // namespace vm
