#include "common/FileIdentity.h"

#include "common/Handle.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace vm {
namespace {

// Long enough for any path the platform can open.
constexpr DWORD c_cchFinalPathMax = 32768;

// Opened for its attributes only: no sharing is denied to anyone, and a
// folder opens as well as a file.
UniqueFileHandle OpenForIdentity(const std::wstring& a_strPath)
{
    if (a_strPath.empty())
        return UniqueFileHandle();
    return UniqueFileHandle(CreateFileW(a_strPath.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// "\\?\C:\x" becomes "C:\x" and "\\?\UNC\server\x" becomes "\\server\x".
std::wstring WithoutLongPrefix(const std::wstring& a_strPath)
{
    if (a_strPath.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\" + a_strPath.substr(7);
    if (a_strPath.compare(0, 4, L"\\\\?\\") == 0)
        return a_strPath.substr(4);
    return a_strPath;
}

bool NamesAStream(const std::wstring& a_strPath)
{
    size_t iFrom = a_strPath.size() >= 2 && a_strPath[1] == L':' ? 2 : 0;
    return a_strPath.find(L':', iFrom) != std::wstring::npos;
}

// a_szPath holds at least a_cch characters (its zero counts).
template <typename Char>
bool IsFullPathText(const Char* a_strPath, size_t a_cch)
{
    if (a_cch < 3)
        return false;
    auto isSlash = [](Char a_ch) { return a_ch == '\\' || a_ch == '/'; };
    Char chDrive = a_strPath[0];
    if ((chDrive >= 'A' && chDrive <= 'Z') || (chDrive >= 'a' && chDrive <= 'z'))
        return a_strPath[1] == ':' && isSlash(a_strPath[2]);
    return isSlash(chDrive) && isSlash(a_strPath[1]) && !isSlash(a_strPath[2]) && a_strPath[2] != '?' &&
           a_strPath[2] != '.';
}

DWORD AttributesOf(const char* a_szPath)
{
    return GetFileAttributesA(a_szPath);
}

DWORD AttributesOf(const wchar_t* a_szPath)
{
    return GetFileAttributesW(a_szPath);
}

template <typename Char>
bool IsExistingFileText(const Char* a_szPath)
{
    DWORD dwAttributes = *a_szPath ? AttributesOf(a_szPath) : INVALID_FILE_ATTRIBUTES;
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Neither a blank nor a quote is ever the second byte of a double-byte
// character, so the byte scans cannot land inside one.
template <typename Char>
size_t LongestExistingPrefixOf(std::basic_string_view<Char> a_text)
{
    a_text = a_text.substr(0, a_text.find(Char('"')));
    if (!IsFullPathText(a_text.data(), a_text.size()))
        return 0;
    Char szCandidate[MAX_PATH];
    size_t cch = a_text.size();
    for (;;) {
        while (cch > 0 && IsBlank(a_text[cch - 1]))
            --cch;
        if (cch == 0)
            return 0;
        if (cch < MAX_PATH) {
            a_text.copy(szCandidate, cch);
            szCandidate[cch] = Char(0);
            if (IsExistingFileText(szCandidate))
                return cch;
        }
        while (cch > 0 && !IsBlank(a_text[cch - 1]))
            --cch;
    }
}

} // namespace

bool IsFullPath(const char* a_szPath)
{
    return a_szPath && IsFullPathText(a_szPath, strnlen(a_szPath, 3));
}

bool IsFullPath(const std::string& a_strPath)
{
    return IsFullPathText(a_strPath.c_str(), a_strPath.size());
}

bool IsFullPath(const std::wstring& a_strPath)
{
    return IsFullPathText(a_strPath.c_str(), a_strPath.size());
}

bool IsExistingFile(const char* a_szPath)
{
    return a_szPath && IsExistingFileText(a_szPath);
}

bool IsExistingFile(const std::string& a_strPath)
{
    return IsExistingFileText(a_strPath.c_str());
}

bool IsExistingFile(const std::wstring& a_strPath)
{
    return IsExistingFileText(a_strPath.c_str());
}

size_t LongestExistingPrefix(std::string_view a_text)
{
    return LongestExistingPrefixOf(a_text);
}

size_t LongestExistingPrefix(std::wstring_view a_text)
{
    return LongestExistingPrefixOf(a_text);
}

bool GetFinalPath(const std::wstring& a_strPath, std::wstring& a_strFinal)
{
    UniqueFileHandle file = OpenForIdentity(a_strPath);
    return file && GetFinalPathOf(file.get(), a_strFinal);
}

bool GetFinalPathOf(void* a_hFile, std::wstring& a_strFinal)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD cch = GetFinalPathNameByHandleW(a_hFile, buffer.data(), static_cast<DWORD>(buffer.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (cch >= buffer.size() && cch < c_cchFinalPathMax) {
        buffer.resize(cch + 1);
        cch = GetFinalPathNameByHandleW(a_hFile, buffer.data(), static_cast<DWORD>(buffer.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    if (cch == 0 || cch >= buffer.size())
        return false;
    std::wstring strFinal = WithoutLongPrefix(std::wstring(buffer.data(), cch));
    if (strFinal.empty() || NamesAStream(strFinal))
        return false;
    a_strFinal = std::move(strFinal);
    return true;
}

bool IsSameFile(const std::wstring& a_strFirst, const std::wstring& a_strSecond)
{
    UniqueFileHandle first = OpenForIdentity(a_strFirst);
    return first && IsSameFile(first.get(), a_strSecond);
}

bool IsSameFile(HANDLE a_hFile, const std::wstring& a_strPath)
{
    UniqueFileHandle second = OpenForIdentity(a_strPath);
    BY_HANDLE_FILE_INFORMATION infoFirst{}, infoSecond{};
    if (!second || !GetFileInformationByHandle(a_hFile, &infoFirst) ||
        !GetFileInformationByHandle(second.get(), &infoSecond))
        return false;
    return infoFirst.dwVolumeSerialNumber == infoSecond.dwVolumeSerialNumber &&
           infoFirst.nFileIndexHigh == infoSecond.nFileIndexHigh &&
           infoFirst.nFileIndexLow == infoSecond.nFileIndexLow;
}

bool IsSameFile(const std::string& a_strFirst, const std::string& a_strSecond)
{
    return IsSameFile(WideFromAnsi(a_strFirst), WideFromAnsi(a_strSecond));
}

bool IsBelowFolder(const std::wstring& a_strPath, const std::wstring& a_strFolder)
{
    std::wstring strFolder = a_strFolder;
    while (!strFolder.empty() && strFolder.back() == L'\\')
        strFolder.pop_back();
    if (strFolder.empty() || a_strPath.size() <= strFolder.size() + 1 || a_strPath[strFolder.size()] != L'\\')
        return false;
    return CompareStringOrdinal(a_strPath.c_str(), static_cast<int>(strFolder.size()), strFolder.c_str(),
                                static_cast<int>(strFolder.size()), TRUE) == CSTR_EQUAL;
}

bool IsExistingFolder(const std::wstring& a_strPath)
{
    DWORD dwAttributes = a_strPath.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(a_strPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsExistingFolder(const std::string& a_strPath)
{
    return IsExistingFolder(WideFromAnsi(a_strPath));
}

std::wstring GetLongPath(const std::wstring& a_strPath)
{
    // A path of MAX_PATH or more is not a long form the platform makes
    // without "\\?\", and Wine's GetLongPathNameW writes such a path past a
    // buffer on its own stack.
    if (a_strPath.empty() || a_strPath.size() >= MAX_PATH)
        return a_strPath;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int nTry = 0; nTry < 2; ++nTry) {
        DWORD cch = GetLongPathNameW(a_strPath.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (cch == 0)
            return a_strPath;
        if (cch < buffer.size())
            return std::wstring(buffer.data(), cch);
        buffer.resize(cch);
    }
    return a_strPath;
}

std::wstring WideFromAnsi(const std::string& a_strText)
{
    if (a_strText.empty())
        return std::wstring();
    int cch = MultiByteToWideChar(CP_ACP, 0, a_strText.data(), static_cast<int>(a_strText.size()), nullptr, 0);
    if (cch <= 0)
        return std::wstring();
    std::wstring strWide(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_ACP, 0, a_strText.data(), static_cast<int>(a_strText.size()), &strWide[0], cch);
    return strWide;
}

bool AnsiFromWide(const std::wstring& a_strText, std::string& a_strAnsi)
{
    a_strAnsi.clear();
    if (a_strText.empty())
        return true;
    // A UTF-8 code page holds every character; there only a lone surrogate
    // is lost, and the platform says so by failing.
    bool bUtf8 = GetACP() == CP_UTF8;
    DWORD dwFlags = bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL bLost = FALSE;
    BOOL* pbLost = bUtf8 ? nullptr : &bLost;
    int cch = static_cast<int>(a_strText.size());
    int cb = WideCharToMultiByte(CP_ACP, dwFlags, a_strText.data(), cch, nullptr, 0, nullptr, pbLost);
    if (cb <= 0 || bLost)
        return false;
    a_strAnsi.assign(static_cast<size_t>(cb), '\0');
    cb = WideCharToMultiByte(CP_ACP, dwFlags, a_strText.data(), cch, &a_strAnsi[0], cb, nullptr, pbLost);
    if (cb <= 0 || bLost) {
        a_strAnsi.clear();
        return false;
    }
    return true;
}

std::string AnsiRendering(const std::wstring& a_strText)
{
    if (a_strText.empty())
        return std::string();
    // No best fit: "?" shows plainly that a character was lost, where a
    // look-alike letter would name another file.
    DWORD dwFlags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int cch = static_cast<int>(a_strText.size());
    int cb = WideCharToMultiByte(CP_ACP, dwFlags, a_strText.data(), cch, nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return std::string();
    std::string strAnsi(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_ACP, dwFlags, a_strText.data(), cch, &strAnsi[0], cb, nullptr, nullptr);
    return strAnsi;
}

namespace {

// Quotes, blanks and "/D:" marks (in any letter case) of an ANSI text. No
// byte of such a mark is a trail byte of a double-byte code page.
size_t CountCommandLineMarks(const std::string& a_strText)
{
    size_t cMarks = 0;
    for (size_t i = 0; i < a_strText.size(); ++i) {
        char ch = a_strText[i];
        cMarks += ch == '"' || ch == ' ' || ch == '\t';
        cMarks += ch == '/' && i + 2 < a_strText.size() && (a_strText[i + 1] | 0x20) == 'd' && a_strText[i + 2] == ':';
    }
    return cMarks;
}

} // namespace

bool GainsCommandLineMarks(const std::wstring& a_strText)
{
    // A UTF-8 code page renders every character as itself.
    if (a_strText.empty() || GetACP() == CP_UTF8)
        return false;
    int cch = static_cast<int>(a_strText.size());
    int cb = WideCharToMultiByte(CP_ACP, 0, a_strText.data(), cch, nullptr, 0, nullptr, nullptr);
    // What an ANSI program would read cannot be told: take it as gained.
    if (cb <= 0)
        return true;
    std::string strBestFit(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_ACP, 0, a_strText.data(), cch, &strBestFit[0], cb, nullptr, nullptr);
    // The marks the text holds itself, each ASCII character as it stands.
    std::string strOwn;
    for (wchar_t ch : a_strText)
        strOwn += ch < 0x80 ? static_cast<char>(ch) : '\x80';
    return CountCommandLineMarks(strBestFit) > CountCommandLineMarks(strOwn);
}

bool GetKeyName(void* a_hKey, std::wstring& a_strName)
{
    using NtQueryKeyFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    constexpr int c_nKeyNameInformation = 3;
    static const auto s_pfnQuery = reinterpret_cast<NtQueryKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryKey")));
    // KEY_NAME_INFORMATION: a byte length, then the name without a zero.
    alignas(ULONG) BYTE buffer[1024];
    ULONG cbResult = 0;
    if (!s_pfnQuery || s_pfnQuery(a_hKey, c_nKeyNameInformation, buffer, sizeof(buffer), &cbResult) != 0)
        return false;
    ULONG cbName = *reinterpret_cast<ULONG*>(buffer);
    if (cbName > sizeof(buffer) - sizeof(ULONG))
        return false;
    a_strName.assign(reinterpret_cast<const wchar_t*>(buffer + sizeof(ULONG)), cbName / sizeof(wchar_t));
    return true;
}

} // namespace vm
