#pragma once
// cipher.dll: the company policy file and the encrypted-document header.
// Classes are exported from the DLL and used through its import library.

#ifdef CIPHER_BUILD
#define CIPHER_API __declspec(dllexport)
#else
#define CIPHER_API __declspec(dllimport)
#endif

#include <string>

// Answers of CCCF::CheckCCFValidity.
enum CcfValidity {
    CCF_VALID = 0,
    CCF_E_MISSING = 1,      // missing or unreadable
    CCF_E_TOO_LARGE = 2,    // more than 1 MiB
    CCF_E_FIRST_LINE = 3,   // first line is not the signature line
    CCF_E_MALFORMED = 4,    // a line that is neither blank, comment nor Name=Value
    CCF_E_CHECKSUM = 5,     // checksum line missing or wrong
};

// Answers of CFlexibleHeader::GetHeaderFromFile.
enum AcapHeaderStatus {
    ACAP_HEADER_OK = 0,
    ACAP_E_OPEN = 1,        // cannot open the file
    ACAP_E_SHORT = 2,       // shorter than the header
    ACAP_E_MAGIC = 3,       // wrong magic
    ACAP_E_VERSION = 4,     // unknown header version
    ACAP_E_CRC = 5,         // header CRC does not match
    ACAP_E_FIELDS = 6,      // header size or reserved field wrong
};

// Selects the constructor that reads the installed policy file.
struct CcfInstalledPolicy {};

// A policy's bytes handed over by the hook to the launcher it starts (see
// common/PolicyHandOver.h); read as the file would be, never from a file.
struct CcfPolicyBytes {
    const char* m_pBytes;
    size_t m_cb;
};

// The company policy file, company.ccf beside cipher.dll.
class CIPHER_API CCCF {
public:
    // The installed file, or the draft of CipherUseDraftPolicy while one is set.
    CCCF();
    // The installed file, whatever CipherUseDraftPolicy says.
    explicit CCCF(CcfInstalledPolicy);
    // The policy in the file a_szPath (a draft an administrator tries out),
    // whatever the process-wide draft switch says; a null or empty path
    // reads as missing.
    explicit CCCF(const char* a_szPath);
    // A policy from bytes the hook handed over.
    explicit CCCF(const CcfPolicyBytes& a_bytes);
    virtual ~CCCF();
    CCCF(const CCCF&) = delete;
    CCCF& operator=(const CCCF&) = delete;

    int CheckCCFValidity();
    // Texts are owned by the object and valid until it is destroyed.
    const char* GetCompanyID();
    const char* GetField(const char* a_szName);
    // The bytes of the installed policy as they were judged usable, for the
    // hook to hand over; null for a draft, a handed-over or an unusable
    // policy. Owned by the object.
    const char* GetPolicyBytes(size_t* a_pcb);

private:
    struct Impl;
    void Read(const std::string& a_strPath, bool a_bDraft);
    Impl* m_pImpl;
};

// The header of an encrypted document.
class CIPHER_API CFlexibleHeader {
public:
    CFlexibleHeader();
    ~CFlexibleHeader();
    CFlexibleHeader(const CFlexibleHeader&) = delete;
    CFlexibleHeader& operator=(const CFlexibleHeader&) = delete;

    int GetHeaderFromFile(const char* a_szPath, unsigned int a_uReserved1,
                          unsigned int a_uReserved2, unsigned int a_uReserved3);
    // The same for a path of any name.
    int GetHeaderFromFile(const wchar_t* a_szPath, unsigned int a_uReserved1,
                          unsigned int a_uReserved2, unsigned int a_uReserved3);

private:
    unsigned char m_header[32];
};

// A draft policy file that every CCCF made in this process with the default
// constructor reads instead of the installed one; null goes back to the
// installed file. Kept for callers outside the product; the hook opens the
// installed file (CCCF(CcfInstalledPolicy)) or a draft by its path
// (CCCF(const char*)), so this switch never moves the hook's policy. Only code inside the process can call it: nothing a user
// sets outside (a variable, a registry value) moves the policy.
extern "C" CIPHER_API void CipherUseDraftPolicy(const char* a_szPath);

// Rights logic; the hook only keeps one instance alive while it is loaded.
class CIPHER_API CDRMLogic {
public:
    CDRMLogic();
    ~CDRMLogic();
};
