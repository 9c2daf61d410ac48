#pragma once
// The running processes of one application, in the order the process
// snapshot lists them.

#include <windows.h>

#include <deque>
#include <memory>

struct AppProcessEntry {
    DWORD th32ProcessID = 0;
    char szExeFile[MAX_PATH] = {};
};

// First in, first out; owns its entries, so a scan that ends early, or by a
// fault caught further out, still gives every entry back with the queue.
class AppProcessQueue {
public:
    using Entries = std::deque<std::unique_ptr<AppProcessEntry>>;

    void push_back(std::unique_ptr<AppProcessEntry> a_pEntry) { m_entries.push_back(std::move(a_pEntry)); }
    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    const AppProcessEntry& front() const { return *m_entries.front(); }
    void pop_front() { m_entries.pop_front(); }
    void clear() { m_entries.clear(); }
    Entries::const_iterator begin() const { return m_entries.begin(); }
    Entries::const_iterator end() const { return m_entries.end(); }

private:
    Entries m_entries;
};
