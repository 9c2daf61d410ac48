#pragma once
// Registry state for the tool tests, written to the prefix's real registry:
// COM reads no overridden root, so neither does shellexec. Each owner puts
// back what it found.

#include "common/Handle.h"

#include <string>
#include <vector>

namespace vmtest {

// HKCR\CLSID\{X}\InprocServer32 = the module, ThreadingModel Apartment.
// Removed again unless the class was registered before.
class CClassRegistration {
public:
    CClassRegistration(const std::string& a_strClsid, const std::string& a_strModule);
    ~CClassRegistration();
    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;
    bool Ok() const { return m_bOk; }

private:
    std::string m_strKey;
    bool m_bExisted = false;
    bool m_bOk = false;
};

// The shell-execute hook list, emptied for one test; the values it held
// come back when the owner goes.
class CHookListOverride {
public:
    CHookListOverride();
    ~CHookListOverride();
    CHookListOverride(const CHookListOverride&) = delete;
    CHookListOverride& operator=(const CHookListOverride&) = delete;
    bool Ok() const { return static_cast<bool>(m_hKey); }
    // Appends a value named a_strName, as a registration would.
    bool Add(const std::string& a_strName);

private:
    struct CSavedValue {
        std::string m_strName;
        DWORD m_dwType;
        std::vector<BYTE> m_data;
    };
    void DeleteAllValues();

    vm::UniqueKey m_hKey;
    bool m_bCreated = false;
    std::vector<CSavedValue> m_saved;
};

// A key below HKEY_CLASSES_ROOT with a default value, removed afterwards.
class CClassKey {
public:
    CClassKey(const std::string& a_strKey, const std::string& a_strDefault);
    ~CClassKey();
    CClassKey(const CClassKey&) = delete;
    CClassKey& operator=(const CClassKey&) = delete;

private:
    std::string m_strKey;
};

} // namespace vmtest
