#pragma once
// Memory whose last byte sits right before a no-access page, so that reading
// even one byte past a text or a heap block faults at once instead of
// reading whatever happens to follow it.

#include <cstddef>
#include <string>

namespace vmfuzz {

// A text copied so that its terminating zero is the last readable byte.
class CGuardedText {
public:
    CGuardedText() = default;
    explicit CGuardedText(const std::string& a_strText) { Assign(a_strText); }
    ~CGuardedText();
    CGuardedText(const CGuardedText&) = delete;
    CGuardedText& operator=(const CGuardedText&) = delete;

    void Assign(const std::string& a_strText);
    // Bytes without a terminating zero: the last byte of the text is the
    // last readable one.
    void AssignBytes(const std::string& a_strBytes);
    char* Get() const { return m_pText; }
    size_t Size() const { return m_cb; }

private:
    void Release();
    void* m_pBase = nullptr;
    size_t m_cbRegion = 0;
    char* m_pText = nullptr;
    size_t m_cb = 0;
};

// While switched on (by this thread), operator new hands out guarded blocks.
// Blocks keep their guard until freed, whoever frees them.
void SetHeapGuard(bool a_bOn);
// Guarded heap blocks not freed yet.
long GuardedBlocksAlive();
// Freed slots slow every later look-up down; between inputs, when no guarded
// block is alive, the table starts afresh.
void ClearGuardTombstones();

// Allocates a guarded block of exactly a_cb bytes; freed with FreeGuarded.
void* AllocateGuarded(size_t a_cb);
bool FreeGuarded(void* a_p);
// Size of a guarded block; 0 for any other pointer.
size_t GuardedSize(const void* a_p);
bool IsHeapGuardOn();

// Task memory (CoTaskMemAlloc, CoTaskMemRealloc, CoTaskMemFree) guarded like
// the heap while the object lives.
class CTaskMemoryGuard {
public:
    CTaskMemoryGuard();
    ~CTaskMemoryGuard();
    CTaskMemoryGuard(const CTaskMemoryGuard&) = delete;
    CTaskMemoryGuard& operator=(const CTaskMemoryGuard&) = delete;
};

} // namespace vmfuzz
