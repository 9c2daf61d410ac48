#include "fuzz/ScratchRegistry.h"

#include <shlwapi.h>

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
    for (auto& root : m_roots)
        root.reset();
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    SHDeleteEmptyKeyA(HKEY_CURRENT_USER, "Software\\VormidmgrFuzz");
}

void CScratchRegistry::Clear()
{
    for (auto& root : m_roots)
        RegDeleteTreeA(root.get(), nullptr);
}

} // namespace vmfuzz
