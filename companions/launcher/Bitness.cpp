#include "companions/launcher/Bitness.h"

#include "common/BuildLayout.h"
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

WORD ReadImageMachine(const std::string& a_strPath)
{
    vm::UniqueFileHandle hFile(CreateFileA(a_strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
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

std::string GetOtherBuildFolder(const std::string& a_strOwnFolder)
{
    if (c_wOwnMachine == IMAGE_FILE_MACHINE_I386)
        return a_strOwnFolder + vm::c_szX64Folder + "\\";
    return vm::ParentOfX64Folder(a_strOwnFolder);
}

std::string SameFileIn(const std::string& a_strFolder, const std::string& a_strPath)
{
    size_t iSlash = a_strPath.find_last_of("\\/");
    return a_strFolder + (iSlash == std::string::npos ? a_strPath : a_strPath.substr(iSlash + 1));
}

} // namespace vmlaunch
