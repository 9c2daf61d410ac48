#include "common/InstalledProduct.h"

#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "common/TrustedProgram.h"

#include <windows.h>
#include <psapi.h>

#include <vector>

namespace vm {
namespace {

// Long enough for any path the platform can open.
constexpr DWORD c_cchImageMax = 32768;

std::wstring FolderOf(const std::wstring& a_strPath)
{
    size_t iSlash = a_strPath.find_last_of(L'\\');
    return iSlash == std::wstring::npos ? std::wstring() : a_strPath.substr(0, iSlash);
}

// A native name of a mapped file as a name the file functions open: Windows
// answers "\Device\HarddiskVolume1\...", reached through the GLOBALROOT link;
// Wine answers "\??\C:\...", the DOS devices' own form.
std::wstring OpenableNativeName(const std::wstring& a_strNative)
{
    if (a_strNative.compare(0, 4, L"\\??\\") == 0)
        return L"\\\\?\\" + a_strNative.substr(4);
    if (a_strNative.compare(0, 1, L"\\") == 0)
        return L"\\\\?\\GLOBALROOT" + a_strNative;
    return std::wstring();
}

} // namespace

bool GetProcessImageFinalPath(std::wstring& a_strFinal)
{
    std::vector<wchar_t> buffer(c_cchImageMax);
    DWORD cch = static_cast<DWORD>(buffer.size());
    return QueryFullProcessImageNameW(GetCurrentProcess(), 0, buffer.data(), &cch) && cch < buffer.size() &&
           GetFinalPath(std::wstring(buffer.data(), cch), a_strFinal);
}

bool GetModuleImageFinalPath(const void* a_pvAddress, std::wstring& a_strFinal)
{
    std::vector<wchar_t> buffer(c_cchImageMax);
    DWORD cch = GetMappedFileNameW(GetCurrentProcess(), const_cast<void*>(a_pvAddress), buffer.data(),
                                   static_cast<DWORD>(buffer.size()));
    if (cch == 0 || cch >= buffer.size())
        return false;
    std::wstring strName = OpenableNativeName(std::wstring(buffer.data(), cch));
    return !strName.empty() && GetFinalPath(strName, a_strFinal);
}

bool GetInstalledFolder(std::wstring& a_strFolder)
{
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, c_szHookServerKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    // REG_SZ only: an expandable text would be expanded with the user's
    // variables, which the user sets.
    wchar_t szModule[MAX_PATH] = {};
    DWORD cb = sizeof(szModule) - sizeof(wchar_t);
    std::wstring strFinal;
    if (RegGetValueW(key.get(), nullptr, nullptr, RRF_RT_REG_SZ, nullptr, szModule, &cb) != ERROR_SUCCESS ||
        !IsFullPath(std::wstring(szModule)) || !IsExistingFile(std::wstring(szModule)) ||
        !GetFinalPath(szModule, strFinal))
        return false;
    a_strFolder = FolderOf(strFinal);
    return !a_strFolder.empty();
}

const char* WhyNotInstalledFile(const std::wstring& a_strFinal, std::wstring& a_strFolder)
{
    if (!GetInstalledFolder(a_strFolder))
        return "no installed product is registered in HKLM";
    if (lstrcmpiW(FolderOf(a_strFinal).c_str(), a_strFolder.c_str()) != 0)
        return "it lies outside the installed product's folder";
    return WhyNotAdministratorsFile(a_strFinal);
}

} // namespace vm
