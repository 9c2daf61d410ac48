#include "common/PolicyHandOver.h"

#include "common/BuildLayout.h"
#include "common/ProcessStart.h"

#include <cstring>

namespace vm {
namespace {

// The section begins with this header: a mark and the policy's length.
struct SectionHeader {
    DWORD m_dwMark;
    DWORD m_cbPolicy;
};
constexpr DWORD c_dwSectionMark = 0x48504D56; // "VMPH"
// The section's own bound, as large as a policy file may be; cipher.dll
// judges the bytes, their size included, as it judges the file.
constexpr DWORD c_cbPolicyMax = 1024 * 1024;

class CMappedView {
public:
    CMappedView(HANDLE a_hSection, DWORD a_dwAccess) : m_pv(MapViewOfFile(a_hSection, a_dwAccess, 0, 0, 0)) {}
    ~CMappedView()
    {
        if (m_pv)
            UnmapViewOfFile(m_pv);
    }
    CMappedView(const CMappedView&) = delete;
    CMappedView& operator=(const CMappedView&) = delete;
    void* get() const { return m_pv; }
    // The bytes that may be read from the view's start.
    SIZE_T Size() const
    {
        MEMORY_BASIC_INFORMATION info{};
        return m_pv && VirtualQuery(m_pv, &info, sizeof(info)) == sizeof(info) ? info.RegionSize : 0;
    }

private:
    void* m_pv;
};

} // namespace

std::string PolicyPathOfLoadedCipher(const char* a_szFileName)
{
    char szPath[MAX_PATH];
    HMODULE hCipher = GetModuleHandleA("cipher.dll");
    DWORD cch = hCipher ? GetModuleFileNameA(hCipher, szPath, MAX_PATH) : 0;
    if (cch == 0 || cch >= MAX_PATH)
        return std::string();
    std::string strFolder(szPath, cch);
    size_t iSlash = strFolder.find_last_of('\\');
    if (iSlash == std::string::npos)
        return std::string();
    return PolicyFolder(strFolder.substr(0, iSlash + 1)) + a_szFileName;
}

bool IsHeldOpenByAnother(const char* a_szPath)
{
    if (!a_szPath || !*a_szPath)
        return false;
    UniqueFileHandle file(CreateFileA(a_szPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

UniqueNullHandle MakePolicySection(const char* a_pBytes, size_t a_cb)
{
    if (!a_pBytes || a_cb == 0 || a_cb > c_cbPolicyMax)
        return UniqueNullHandle();
    DWORD cbSection = static_cast<DWORD>(sizeof(SectionHeader) + a_cb);
    UniqueNullHandle writable(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, cbSection, nullptr));
    if (!writable)
        return UniqueNullHandle();
    {
        CMappedView view(writable.get(), FILE_MAP_WRITE);
        if (!view.get())
            return UniqueNullHandle();
        SectionHeader header{c_dwSectionMark, static_cast<DWORD>(a_cb)};
        std::memcpy(view.get(), &header, sizeof(header));
        std::memcpy(static_cast<char*>(view.get()) + sizeof(header), a_pBytes, a_cb);
    }
    // The handle handed over can only read.
    HANDLE hReadOnly = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), writable.get(), GetCurrentProcess(), &hReadOnly,
                         SECTION_QUERY | SECTION_MAP_READ, TRUE, 0))
        return UniqueNullHandle();
    return UniqueNullHandle(hReadOnly);
}

bool StartProgramWithPolicy(const std::wstring& a_strProgram, std::wstring a_strCommandLine, DWORD a_dwFlags,
                            const wchar_t* a_szDirectory, HANDLE a_hSection, UniqueProcessInfo& a_process)
{
    if (!a_hSection)
        return StartProgram(a_strProgram, std::move(a_strCommandLine), a_dwFlags, a_szDirectory, a_process);
    SIZE_T cbList = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &cbList);
    std::string list(cbList, '\0');
    auto pList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&list[0]);
    if (cbList == 0 || !InitializeProcThreadAttributeList(pList, 1, 0, &cbList))
        return false;
    // Only the section is inherited, whatever else of the caller is inheritable.
    HANDLE hInherited = a_hSection;
    bool bStarted = false;
    if (UpdateProcThreadAttribute(pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &hInherited, sizeof(hInherited),
                                  nullptr, nullptr)) {
        STARTUPINFOEXW si{};
        si.StartupInfo.cb = sizeof(si);
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = a_hSection;
        si.lpAttributeList = pList;
        bStarted = CreateProcessW(a_strProgram.c_str(), &a_strCommandLine[0], nullptr, nullptr, TRUE,
                                  a_dwFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr, a_szDirectory,
                                  &si.StartupInfo, a_process.put()) != FALSE;
    }
    DWORD dwError = GetLastError();
    DeleteProcThreadAttributeList(pList);
    SetLastError(dwError);
    return bStarted;
}

bool TakeHandedOverPolicy(std::string& a_strBytes)
{
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    if (!hInput || hInput == INVALID_HANDLE_VALUE)
        return false;
    // Only a section maps; a file or a pipe does not.
    bool bTaken = false;
    {
        CMappedView view(hInput, FILE_MAP_READ);
        if (!view.get())
            return false;
        SectionHeader header{};
        SIZE_T cbView = view.Size();
        if (cbView >= sizeof(header)) {
            std::memcpy(&header, view.get(), sizeof(header));
            if (header.m_dwMark == c_dwSectionMark && header.m_cbPolicy <= c_cbPolicyMax &&
                header.m_cbPolicy <= cbView - sizeof(header)) {
                a_strBytes.assign(static_cast<const char*>(view.get()) + sizeof(header), header.m_cbPolicy);
                bTaken = true;
            }
        }
    }
    // A section is never left to the application, handed over or not.
    SetStdHandle(STD_INPUT_HANDLE, nullptr);
    CloseHandle(hInput);
    return bTaken;
}

} // namespace vm
