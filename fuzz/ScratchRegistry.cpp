#include "fuzz/ScratchRegistry.h"

#include <shlwapi.h>
#include <winternl.h>

namespace vmfuzz {

namespace {

// Every root the registration language can name.
const HKEY c_hRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                         HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA, HKEY_CURRENT_CONFIG};

// A key written through the redirected root must show up below the scratch key.
bool IsRedirected(HKEY a_hRoot, HKEY a_hScratch)
{
    constexpr char c_szProbe[] = "VormidmgrFuzzProbe";
    vm::UniqueKey probe;
    if (RegCreateKeyExA(a_hRoot, c_szProbe, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, probe.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    probe.reset();
    vm::UniqueKey seen;
    bool bSeen = RegOpenKeyExA(a_hScratch, c_szProbe, 0, KEY_READ, seen.put()) == ERROR_SUCCESS;
    seen.reset();
    RegDeleteKeyA(a_hRoot, c_szProbe);
    return bSeen;
}

// Performance and dynamic data cannot be redirected; nothing can be written
// through them either, so a script that names them changes nothing.
bool IsWritable(HKEY a_hRoot)
{
    vm::UniqueKey probe;
    if (RegCreateKeyExA(a_hRoot, "VormidmgrFuzzProbe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        probe.put(), nullptr) != ERROR_SUCCESS)
        return false;
    probe.reset();
    RegDeleteKeyA(a_hRoot, "VormidmgrFuzzProbe");
    return true;
}

// Under code page 932 a key name of a lone lead byte becomes a name of one
// U+0000 character. No Win32 call can open it by name (opening "" opens the
// parent), and Wine's RegDeleteTree recurses on it until the stack runs out.
// The native calls take counted names, so the tree goes that way.
using NtEnumerateKeyFn = LONG(NTAPI*)(HANDLE, ULONG, int, void*, ULONG, ULONG*);
using NtOpenKeyFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
using NtCloseFn = LONG(NTAPI*)(HANDLE);

template <typename Fn>
Fn NtEntry(const char* a_szName)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), a_szName)));
}

constexpr int c_nKeyBasicInformation = 0;
// Deeper than any script block can reach: a tree left deeper would grow with
// every input and slow each one down.
constexpr int c_nMaxDepth = 600;

void DeleteSubkeys(HANDLE a_hKey, int a_nDepth)
{
    static const auto s_pfnEnumerate = NtEntry<NtEnumerateKeyFn>("NtEnumerateKey");
    static const auto s_pfnOpen = NtEntry<NtOpenKeyFn>("NtOpenKey");
    static const auto s_pfnDelete = NtEntry<NtDeleteKeyFn>("NtDeleteKey");
    static const auto s_pfnClose = NtEntry<NtCloseFn>("NtClose");
    // KEY_BASIC_INFORMATION: write time, title index, byte length, name (at
    // most 255 characters). Small: there is a frame for every level.
    alignas(8) BYTE buffer[16 + 2 * 256];
    ULONG iSkip = 0;
    ULONG cb = 0;
    while (a_nDepth < c_nMaxDepth &&
           s_pfnEnumerate(a_hKey, iSkip, c_nKeyBasicInformation, buffer, sizeof(buffer), &cb) == 0) {
        UNICODE_STRING name;
        name.Length = name.MaximumLength = static_cast<USHORT>(*reinterpret_cast<ULONG*>(buffer + 12));
        name.Buffer = reinterpret_cast<PWSTR>(buffer + 16);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, a_hKey, nullptr);
        HANDLE hChild = nullptr;
        if (s_pfnOpen(&hChild, KEY_ALL_ACCESS, &attributes) != 0) {
            ++iSkip; // left behind; the walk still ends
            continue;
        }
        DeleteSubkeys(hChild, a_nDepth + 1);
        if (s_pfnDelete(hChild) != 0)
            ++iSkip;
        s_pfnClose(hChild);
    }
}

} // namespace

CScratchRegistry::CScratchRegistry()
    : m_strBase("Software\\VormidmgrFuzz\\" + std::to_string(GetCurrentProcessId()))
{
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    m_bReady = true;
    for (int i = 0; i < c_cRoots; ++i) {
        std::string strKey = m_strBase + "\\" + std::to_string(i);
        if (RegCreateKeyExA(HKEY_CURRENT_USER, strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, m_roots[i].put(), nullptr) != ERROR_SUCCESS)
            m_bReady = false;
    }
    for (int i = 0; i < c_cRoots && m_bReady; ++i) {
        bool bRedirected = RegOverridePredefKey(c_hRoots[i], m_roots[i].get()) == ERROR_SUCCESS &&
                           IsRedirected(c_hRoots[i], m_roots[i].get());
        m_bReady = bRedirected || !IsWritable(c_hRoots[i]);
    }
}

CScratchRegistry::~CScratchRegistry()
{
    for (HKEY hRoot : c_hRoots)
        RegOverridePredefKey(hRoot, nullptr);
    Clear();
    for (auto& root : m_roots)
        root.reset();
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    SHDeleteEmptyKeyA(HKEY_CURRENT_USER, "Software\\VormidmgrFuzz");
}

void CScratchRegistry::Clear()
{
    for (auto& root : m_roots) {
        DeleteSubkeys(root.get(), 0);
        RegDeleteTreeA(root.get(), nullptr); // the values
    }
}

} // namespace vmfuzz
