#include "companions/launcher/Bitness.h"

#include "common/BuildLayout.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"

namespace vmlaunch {
namespace {

bool ReadAt(HANDLE a_hFile, LONG a_lOffset, void* a_pBuffer, DWORD a_cb)
{
    DWORD cbRead = 0;
    return SetFilePointer(a_hFile, a_lOffset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           ReadFile(a_hFile, a_pBuffer, a_cb, &cbRead, nullptr) && cbRead == a_cb;
}

} // namespace

WORD ReadImageMachine(const std::wstring& a_strPath)
{
    vm::UniqueFileHandle hFile(CreateFileW(a_strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile)
        return 0;
    IMAGE_DOS_HEADER dos{};
    if (!ReadAt(hFile.get(), 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0)
        return 0;
    struct {
        DWORD dwSignature;
        IMAGE_FILE_HEADER header;
    } pe{};
    if (!ReadAt(hFile.get(), dos.e_lfanew, &pe, sizeof(pe)) || pe.dwSignature != IMAGE_NT_SIGNATURE)
        return 0;
    return pe.header.Machine;
}

bool IsProductMachine(WORD a_wMachine)
{
    return a_wMachine == IMAGE_FILE_MACHINE_I386 || a_wMachine == IMAGE_FILE_MACHINE_AMD64;
}

std::wstring GetOtherBuildFolder(const std::wstring& a_strOwnFolder)
{
    if (c_wOwnMachine == IMAGE_FILE_MACHINE_I386)
        return a_strOwnFolder + vm::WideFromAnsi(vm::c_szX64Folder) + L"\\";
    return vm::ParentOfX64Folder(a_strOwnFolder);
}

std::wstring SameFileIn(const std::wstring& a_strFolder, const std::wstring& a_strPath)
{
    size_t iSlash = a_strPath.find_last_of(L"\\/");
    return a_strFolder + (iSlash == std::wstring::npos ? a_strPath : a_strPath.substr(iSlash + 1));
}

} // namespace vmlaunch
