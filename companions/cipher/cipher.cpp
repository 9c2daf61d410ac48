// cipher.dll stand-in: reads the company policy file beside the DLL and
// recognises the header that marks an encrypted document. It encrypts nothing.

#include "companions/cipher/cipher.h"

#include "common/BuildLayout.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "common/LockGuard.h"

#include "companions/cipher/ccfformat.h"

#include <windows.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

struct CCCF::Impl {
    int nValidity = CCF_E_MISSING;
    // Filled once and never changed afterwards, so the texts handed out stay put.
    std::vector<cipherfmt::CcfField> fields;
    // The installed policy's bytes, kept while it is usable.
    std::string strBytes;
};

namespace {

// Directory of this DLL with a trailing backslash, whatever name the DLL was
// loaded under; empty when it cannot be found.
std::string GetOwnDirectory()
{
    HMODULE hSelf = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&GetOwnDirectory), &hSelf))
        return {};
    // Paths may be longer than MAX_PATH; a full buffer means the name was cut.
    std::string strPath(MAX_PATH, '\0');
    for (;;) {
        DWORD cch = GetModuleFileNameA(hSelf, &strPath[0], static_cast<DWORD>(strPath.size()));
        if (cch == 0)
            return {};
        if (cch < strPath.size()) {
            strPath.resize(cch);
            break;
        }
        if (strPath.size() >= 32768)
            return {};
        strPath.resize(strPath.size() * 2);
    }
    size_t offSlash = strPath.find_last_of("\\/");
    return offSlash == std::string::npos ? std::string() : strPath.substr(0, offSlash + 1);
}

// company.ccf in the policy folder; empty when this DLL's folder is unknown.
std::string InstalledPolicyPath()
{
    std::string strDir = GetOwnDirectory();
    return strDir.empty() ? std::string() : vm::PolicyFolder(strDir) + cipherfmt::c_szCcfFileName;
}

SRWLOCK s_draftLock = SRWLOCK_INIT;
std::string s_strDraftPolicy;

// The file a new CCCF reads: the draft while one is in use (a_pbDraft says
// which).
std::string PolicyFilePath(bool* a_pbDraft)
{
    std::string strDraft;
    {
        vm::CLockGuard lock(s_draftLock, vm::c_eLockShared);
        strDraft = s_strDraftPolicy;
    }
    *a_pbDraft = !strDraft.empty();
    if (*a_pbDraft)
        return strDraft;
    return InstalledPolicyPath();
}

// The installed policy: only the policy folder's own file (ReadFolderPolicy);
// a_pBytes gets the bytes judged, for the hand-over to the launcher.
int ReadInstalledPolicy(const std::string& a_strPath, std::vector<cipherfmt::CcfField>* a_pFields,
                        std::string* a_pBytes)
{
    std::wstring strPath = vm::WideFromAnsi(a_strPath);
    return cipherfmt::ReadFolderPolicy(strPath.substr(0, strPath.find_last_of(L'\\')), a_pFields, a_pBytes);
}

} // namespace

extern "C" void CipherUseDraftPolicy(const char* a_szPath)
{
    std::string strDraft = a_szPath ? a_szPath : "";
    vm::CLockGuard lock(s_draftLock);
    s_strDraftPolicy.swap(strDraft);
}

CCCF::CCCF() : m_pImpl(nullptr)
{
    bool bDraft = false;
    try {
        std::string strPath = PolicyFilePath(&bDraft);
        Read(strPath, bDraft);
    } catch (...) {
        // Out of memory while naming the file: the object answers "unreadable".
    }
}

// Out of memory while naming the file leaves the object "unreadable", as above.
CCCF::CCCF(CcfInstalledPolicy) : m_pImpl(nullptr)
{
    try {
        Read(InstalledPolicyPath(), false);
    } catch (...) {
    }
}

CCCF::CCCF(const char* a_szPath) : m_pImpl(nullptr)
{
    try {
        Read(a_szPath ? a_szPath : "", true);
    } catch (...) {
    }
}

CCCF::CCCF(const CcfPolicyBytes& a_bytes) : m_pImpl(nullptr)
{
    try {
        m_pImpl = new Impl;
        // Judged as the file is, its size included.
        if (a_bytes.m_pBytes)
            m_pImpl->nValidity =
                cipherfmt::ParseCcf(std::string(a_bytes.m_pBytes, a_bytes.m_cb), &m_pImpl->fields);
        if (m_pImpl->nValidity != CCF_VALID)
            m_pImpl->fields.clear();
    } catch (...) {
        if (m_pImpl) {
            m_pImpl->fields.clear();
            m_pImpl->nValidity = CCF_E_MISSING;
        }
    }
}

void CCCF::Read(const std::string& a_strPath, bool a_bDraft)
{
    try {
        m_pImpl = new Impl;
        if (a_strPath.empty())
            return;
        m_pImpl->nValidity = a_bDraft ? cipherfmt::ReadCcfFile(a_strPath.c_str(), &m_pImpl->fields)
                                      : ReadInstalledPolicy(a_strPath, &m_pImpl->fields, &m_pImpl->strBytes);
        if (m_pImpl->nValidity != CCF_VALID) {
            m_pImpl->fields.clear();
            m_pImpl->strBytes.clear();
        }
    } catch (...) {
        // Out of memory while reading: the object answers "unreadable".
        if (m_pImpl) {
            m_pImpl->fields.clear();
            m_pImpl->strBytes.clear();
            m_pImpl->nValidity = CCF_E_MISSING;
        }
    }
}

CCCF::~CCCF()
{
    delete m_pImpl;
}

int CCCF::CheckCCFValidity()
{
    return m_pImpl ? m_pImpl->nValidity : CCF_E_MISSING;
}

const char* CCCF::GetCompanyID()
{
    return GetField(cipherfmt::c_szCompanyIdField);
}

const char* CCCF::GetField(const char* a_szName)
{
    if (!m_pImpl || m_pImpl->nValidity != CCF_VALID)
        return nullptr;
    const cipherfmt::CcfField* pField = cipherfmt::FindCcfField(m_pImpl->fields, a_szName);
    return pField ? pField->strValue.c_str() : nullptr;
}

const char* CCCF::GetPolicyBytes(size_t* a_pcb)
{
    if (a_pcb)
        *a_pcb = 0;
    if (!m_pImpl || m_pImpl->nValidity != CCF_VALID || m_pImpl->strBytes.empty())
        return nullptr;
    if (a_pcb)
        *a_pcb = m_pImpl->strBytes.size();
    return m_pImpl->strBytes.data();
}

CFlexibleHeader::CFlexibleHeader() : m_header{} {}

CFlexibleHeader::~CFlexibleHeader() {}

namespace {

// No exception leaves the library: a failure reads as a file that cannot be opened.
template <typename Char>
int ReadHeaderOf(const Char* a_szPath, unsigned char (&a_header)[cipherfmt::c_cbAcapHeader])
{
    try {
        return cipherfmt::ReadAcapHeader(a_szPath, nullptr, &a_header);
    } catch (...) {
        std::memset(a_header, 0, sizeof(a_header));
        return ACAP_E_OPEN;
    }
}

} // namespace

// The three further arguments are reserved; callers pass 0 and they are ignored.
int CFlexibleHeader::GetHeaderFromFile(const char* a_szPath, unsigned int, unsigned int, unsigned int)
{
    return ReadHeaderOf(a_szPath, m_header);
}

int CFlexibleHeader::GetHeaderFromFile(const wchar_t* a_szPath, unsigned int, unsigned int, unsigned int)
{
    return ReadHeaderOf(a_szPath, m_header);
}

CDRMLogic::CDRMLogic() {}

CDRMLogic::~CDRMLogic() {}
