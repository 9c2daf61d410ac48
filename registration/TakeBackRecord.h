#pragma once
// What a registration walk records so that a failed registration can be taken
// back: the path of the key it stands in, and the keys and values it created.

#include <windows.h>

// The key a walk stands in, as the root's handle value followed by the key
// names, each after a backslash. A path longer than the buffer is unknown:
// its length is still counted, so that going back to a shorter one works.
class CKeyPath {
public:
    void Reset(HKEY a_hKeyRoot);
    size_t Length() const { return m_cch; }
    void Truncate(size_t a_cch);
    void AppendKey(const char* a_szName);
    // Whether the first a_cch characters are all there.
    bool IsKnown(size_t a_cch) const { return a_cch < sizeof(m_sz); }
    bool IsKnown() const { return IsKnown(m_cch); }
    const char* get() const { return m_sz; }

private:
    static constexpr size_t c_cbPath = 2048;
    char m_sz[c_cbPath] = {};
    size_t m_cch = 0;
};

// Keys (by path) and values (by key path and name) that a registration walk
// created: the walk that takes a failed registration back removes only these.
class CCreatedItems {
public:
    CCreatedItems() = default;
    ~CCreatedItems() { Clear(); }
    CCreatedItems(const CCreatedItems&) = delete;
    CCreatedItems& operator=(const CCreatedItems&) = delete;

    // The key of the first a_cchKey characters of a_path, or its value
    // a_szValue when that is not null. False when there is no memory.
    bool Add(const CKeyPath& a_path, size_t a_cchKey, const char* a_szValue);
    // False for a path that is not known.
    bool Contains(const CKeyPath& a_path, size_t a_cchKey, const char* a_szValue) const;
    void Clear();

private:
    // One block each: the key path, its zero, the value name, its zero.
    struct Item {
        char* m_psz;
        bool m_bValue;
    };
    Item* m_pItems = nullptr;
    UINT m_cItems = 0;
    UINT m_cRoom = 0;
};
