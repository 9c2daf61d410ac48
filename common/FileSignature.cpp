#include "common/FileSignature.h"

#include "common/FileIdentity.h"
#include "common/Handle.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <vector>

namespace vm {

namespace {

// The functions of wintrust.dll and crypt32.dll the check uses, bound once
// from the system folder.
struct CTrustApi {
    decltype(&WinVerifyTrust) pfnVerify = nullptr;
    decltype(&CertGetNameStringW) pfnName = nullptr;
    decltype(&CertGetCertificateContextProperty) pfnProperty = nullptr;
    decltype(&CryptHashCertificate2) pfnHash = nullptr;
    decltype(&CryptQueryObject) pfnQuery = nullptr;
    decltype(&CryptMsgGetParam) pfnMessageParam = nullptr;
    decltype(&CertFindCertificateInStore) pfnFind = nullptr;
    decltype(&CertFreeCertificateContext) pfnFreeCert = nullptr;
    decltype(&CryptMsgClose) pfnCloseMessage = nullptr;
    decltype(&CertCloseStore) pfnCloseStore = nullptr;
    bool Complete() const
    {
        return pfnVerify && pfnName && pfnProperty && pfnHash && pfnQuery && pfnMessageParam && pfnFind &&
               pfnFreeCert && pfnCloseMessage && pfnCloseStore;
    }
};

INIT_ONCE g_boundOnce = INIT_ONCE_STATIC_INIT;
CTrustApi g_api;

HMODULE LoadSystemLibrary(const wchar_t* a_szName)
{
    wchar_t szPath[MAX_PATH];
    UINT cch = GetSystemDirectoryW(szPath, MAX_PATH);
    if (cch == 0 || cch + 1 + lstrlenW(a_szName) >= MAX_PATH)
        return nullptr;
    lstrcatW(szPath, L"\\");
    lstrcatW(szPath, a_szName);
    return LoadLibraryExW(szPath, nullptr, 0);
}

template <typename Fn>
void Bind(HMODULE a_hModule, const char* a_szName, Fn& a_pfn)
{
    if (a_hModule)
        a_pfn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(a_hModule, a_szName)));
}

// The libraries stay loaded for the life of the process once bound.
BOOL CALLBACK BindTrustApi(PINIT_ONCE, PVOID, PVOID*)
{
    HMODULE hWintrust = LoadSystemLibrary(L"wintrust.dll");
    HMODULE hCrypt = LoadSystemLibrary(L"crypt32.dll");
    Bind(hWintrust, "WinVerifyTrust", g_api.pfnVerify);
    Bind(hCrypt, "CertGetNameStringW", g_api.pfnName);
    Bind(hCrypt, "CertGetCertificateContextProperty", g_api.pfnProperty);
    Bind(hCrypt, "CryptHashCertificate2", g_api.pfnHash);
    Bind(hCrypt, "CryptQueryObject", g_api.pfnQuery);
    Bind(hCrypt, "CryptMsgGetParam", g_api.pfnMessageParam);
    Bind(hCrypt, "CertFindCertificateInStore", g_api.pfnFind);
    Bind(hCrypt, "CertFreeCertificateContext", g_api.pfnFreeCert);
    Bind(hCrypt, "CryptMsgClose", g_api.pfnCloseMessage);
    Bind(hCrypt, "CertCloseStore", g_api.pfnCloseStore);
    return TRUE;
}

std::string HexText(const BYTE* a_pb, DWORD a_cb)
{
    std::string strText;
    char szByte[3];
    for (DWORD i = 0; i < a_cb; ++i) {
        std::snprintf(szByte, sizeof(szByte), "%02X", a_pb[i]);
        strText += szByte;
    }
    return strText;
}

SignatureState StateOf(LONG a_lResult)
{
    switch (static_cast<HRESULT>(a_lResult)) {
    case S_OK:
        return SignatureState::Signed;
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case TRUST_E_PROVIDER_UNKNOWN:
        return SignatureState::Unsigned;
    case TRUST_E_BAD_DIGEST:
        return SignatureState::Modified;
    default:
        return SignatureState::Invalid;
    }
}

// The signer certificate's name and thumbprints, read from the signature
// itself: the certificate that the signed message names as its signer.
void ReadSignerOf(PCCERT_CONTEXT a_pCert, FileSignature& a_signature)
{
    wchar_t szName[256] = {};
    if (g_api.pfnName(a_pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, szName, 256) > 1)
        a_signature.m_strSigner = AnsiRendering(szName);
    BYTE hash[32];
    DWORD cbHash = 20;
    if (g_api.pfnProperty(a_pCert, CERT_SHA1_HASH_PROP_ID, hash, &cbHash) && cbHash == 20)
        a_signature.m_strSha1 = HexText(hash, cbHash);
    cbHash = sizeof(hash);
    if (g_api.pfnHash(L"SHA256", 0, nullptr, a_pCert->pbCertEncoded, a_pCert->cbCertEncoded, hash, &cbHash) &&
        cbHash == 32)
        a_signature.m_strSha256 = HexText(hash, cbHash);
}

void ReadSigner(const std::wstring& a_strPath, FileSignature& a_signature)
{
    HCERTSTORE hStore = nullptr;
    HCRYPTMSG hMessage = nullptr;
    if (!g_api.pfnQuery(CERT_QUERY_OBJECT_FILE, a_strPath.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &hStore, &hMessage, nullptr))
        return;
    DWORD cbInfo = 0;
    std::vector<BYTE> info;
    if (g_api.pfnMessageParam(hMessage, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cbInfo) && cbInfo > 0) {
        info.resize(cbInfo);
        if (!g_api.pfnMessageParam(hMessage, CMSG_SIGNER_INFO_PARAM, 0, info.data(), &cbInfo))
            info.clear();
    }
    if (!info.empty()) {
        const CMSG_SIGNER_INFO* pInfo = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());
        CERT_INFO wanted{};
        wanted.Issuer = pInfo->Issuer;
        wanted.SerialNumber = pInfo->SerialNumber;
        PCCERT_CONTEXT pCert = g_api.pfnFind(hStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                             CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
        if (pCert) {
            ReadSignerOf(pCert, a_signature);
            g_api.pfnFreeCert(pCert);
        }
    }
    g_api.pfnCloseMessage(hMessage);
    g_api.pfnCloseStore(hStore, 0);
}

} // namespace

FileSignature ReadFileSignature(HANDLE a_hFile, const std::wstring& a_strPath)
{
    FileSignature signature;
    InitOnceExecuteOnce(&g_boundOnce, BindTrustApi, nullptr, nullptr);
    if (!g_api.Complete() || a_hFile == INVALID_HANDLE_VALUE || !a_hFile)
        return signature;
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = a_strPath.c_str();
    file.hFile = a_hFile;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    // No network on the request's path: only what the machine already holds.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    HWND hNoWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
    signature.m_lResult = g_api.pfnVerify(hNoWindow, &action, &data);
    signature.m_state = StateOf(signature.m_lResult);
    // The file is held without write sharing, so the signer read by its
    // name is the signer of the file just verified.
    if (signature.m_state == SignatureState::Signed || signature.m_state == SignatureState::Invalid)
        ReadSigner(a_strPath, signature);
    return signature;
}

FileSignature ReadFileSignature(const std::wstring& a_strPath)
{
    UniqueFileHandle file(CreateFileW(a_strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return ReadFileSignature(file.get(), a_strPath);
}

const char* DescribeSignatureState(SignatureState a_state)
{
    switch (a_state) {
    case SignatureState::Signed:
        return "signed";
    case SignatureState::Unsigned:
        return "not signed";
    case SignatureState::Modified:
        return "changed after it was signed";
    case SignatureState::Invalid:
        return "signed with a signature that does not hold";
    case SignatureState::Unknown:
        break;
    }
    return "of unknown signature (the file cannot be read)";
}

} // namespace vm
