#pragma once
// What the platform's Authenticode check says of a file: signed, unsigned,
// changed after signing, or signed badly; and, for a signed file, who signed
// it. The check reads the open file itself (by handle), and the signer from
// the same name while that handle, which shares neither writing nor
// deleting, keeps the file in place: the answer is for the object the caller
// holds, not for whatever a name leads to later.
//
// wintrust.dll and crypt32.dll are bound from the system folder at the first
// check, so a process that never checks a signature never loads them, and no
// copy beside a program or in its current directory can answer in their place.

#include <windows.h>

#include <string>

namespace vm {

enum class SignatureState {
    Signed,   // a valid signature; on Windows also a chain to a trusted root
    Unsigned, // no signature at all
    Modified, // signed, but the file changed after signing
    Invalid,  // signed, but the signature or its certificate does not hold
    Unknown,  // the check could not be made (no file, no wintrust)
};

struct FileSignature {
    SignatureState m_state = SignatureState::Unknown;
    long m_lResult = 0;       // WinVerifyTrust's answer
    std::string m_strSigner;  // the signer certificate's subject name (ANSI rendering)
    std::string m_strSha1;    // its SHA-1 thumbprint, 40 upper-case hex digits, as Windows shows it
    std::string m_strSha256;  // its SHA-256 thumbprint, 64 upper-case hex digits
};

// The signature of the open file a_hFile (read access, no write or delete
// sharing), named a_strPath. Never throws.
FileSignature ReadFileSignature(HANDLE a_hFile, const std::wstring& a_strPath);

// The same for the file a_strPath, opened for reading without write or delete sharing.
FileSignature ReadFileSignature(const std::wstring& a_strPath);

// The state in words, for checks and refusals ("signed", "not signed", ...).
const char* DescribeSignatureState(SignatureState a_state);

} // namespace vm
