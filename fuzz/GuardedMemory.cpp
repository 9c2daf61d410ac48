#include "fuzz/GuardedMemory.h"

#include "common/LockGuard.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace vmfuzz {

namespace {

constexpr size_t c_cbPage = 4096;
// Open-addressed table of the guarded blocks alive: operator delete must tell
// them from ordinary ones without allocating.
constexpr size_t c_cSlots = 1 << 16;
struct Slot {
    void* m_pBlock;
    void* m_pBase;
    size_t m_cb;
};
Slot s_slots[c_cSlots];
long s_cAlive = 0;
SRWLOCK s_lock = SRWLOCK_INIT;
thread_local bool t_bGuardOn = false;

size_t SlotOf(const void* a_p)
{
    return (reinterpret_cast<uintptr_t>(a_p) * 2654435761u) & (c_cSlots - 1);
}

// Reserves a region that ends in a no-access page; the block is placed so
// that it ends where that page begins.
void* MapGuarded(size_t a_cb, void** a_ppBase, size_t* a_pcbRegion)
{
    size_t cbData = (a_cb + c_cbPage - 1) / c_cbPage * c_cbPage;
    if (cbData == 0)
        cbData = c_cbPage;
    size_t cbRegion = cbData + c_cbPage;
    auto* pBase = static_cast<char*>(
        VirtualAlloc(nullptr, cbRegion, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!pBase)
        return nullptr;
    DWORD dwOld = 0;
    VirtualProtect(pBase + cbData, c_cbPage, PAGE_NOACCESS, &dwOld);
    *a_ppBase = pBase;
    *a_pcbRegion = cbRegion;
    return pBase + cbData - a_cb;
}

bool Remember(void* a_pBlock, void* a_pBase, size_t a_cb)
{
    vm::CLockGuard lock(s_lock);
    for (size_t i = 0, iSlot = SlotOf(a_pBlock); i < c_cSlots; ++i, iSlot = (iSlot + 1) & (c_cSlots - 1)) {
        if (!s_slots[iSlot].m_pBlock || s_slots[iSlot].m_pBlock == reinterpret_cast<void*>(1)) {
            s_slots[iSlot] = {a_pBlock, a_pBase, a_cb};
            ++s_cAlive;
            return true;
        }
    }
    return false;
}

// The base of a guarded block, taken out of the table; null when the block is
// not a guarded one.
void* Forget(void* a_pBlock)
{
    vm::CLockGuard lock(s_lock);
    for (size_t i = 0, iSlot = SlotOf(a_pBlock); i < c_cSlots; ++i, iSlot = (iSlot + 1) & (c_cSlots - 1)) {
        if (!s_slots[iSlot].m_pBlock)
            break;
        if (s_slots[iSlot].m_pBlock == a_pBlock) {
            s_slots[iSlot].m_pBlock = reinterpret_cast<void*>(1); // a tombstone keeps chains intact
            --s_cAlive;
            return s_slots[iSlot].m_pBase;
        }
    }
    return nullptr;
}

void* Allocate(size_t a_cb)
{
    if (t_bGuardOn) {
        void* p = AllocateGuarded(a_cb);
        if (p)
            return p;
    }
    return std::malloc(a_cb ? a_cb : 1);
}

void Free(void* a_p)
{
    if (a_p && !FreeGuarded(a_p))
        std::free(a_p);
}

} // namespace

void* AllocateGuarded(size_t a_cb)
{
    void* pBase = nullptr;
    size_t cbRegion = 0;
    void* pBlock = MapGuarded(a_cb, &pBase, &cbRegion);
    if (!pBlock)
        return nullptr;
    if (!Remember(pBlock, pBase, a_cb)) {
        VirtualFree(pBase, 0, MEM_RELEASE);
        return nullptr;
    }
    return pBlock;
}

size_t GuardedSize(const void* a_p)
{
    vm::CLockGuard lock(s_lock, vm::c_eLockShared);
    for (size_t i = 0, iSlot = SlotOf(a_p); i < c_cSlots; ++i, iSlot = (iSlot + 1) & (c_cSlots - 1)) {
        if (!s_slots[iSlot].m_pBlock)
            break;
        if (s_slots[iSlot].m_pBlock == a_p)
            return s_slots[iSlot].m_cb;
    }
    return 0;
}

bool IsHeapGuardOn()
{
    return t_bGuardOn;
}

bool FreeGuarded(void* a_p)
{
    void* pBase = Forget(a_p);
    if (!pBase)
        return false;
    VirtualFree(pBase, 0, MEM_RELEASE);
    return true;
}

void SetHeapGuard(bool a_bOn)
{
    t_bGuardOn = a_bOn;
}

long GuardedBlocksAlive()
{
    return s_cAlive;
}

void ClearGuardTombstones()
{
    vm::CLockGuard lock(s_lock);
    if (s_cAlive == 0)
        std::memset(s_slots, 0, sizeof(s_slots));
}

CGuardedText::~CGuardedText()
{
    Release();
}

void CGuardedText::Release()
{
    if (m_pBase)
        VirtualFree(m_pBase, 0, MEM_RELEASE);
    m_pBase = nullptr;
    m_pText = nullptr;
    m_cb = 0;
}

void CGuardedText::Assign(const std::string& a_strText)
{
    AssignBytes(std::string(a_strText.c_str(), a_strText.size()) + '\0');
    m_cb = a_strText.size();
}

void CGuardedText::AssignBytes(const std::string& a_strBytes)
{
    Release();
    m_pText = static_cast<char*>(MapGuarded(a_strBytes.size(), &m_pBase, &m_cbRegion));
    if (!m_pText)
        throw std::bad_alloc();
    std::memcpy(m_pText, a_strBytes.data(), a_strBytes.size());
    m_cb = a_strBytes.size();
}

} // namespace vmfuzz

// Every allocation of the harness and of the code under test goes through
// here; only those made while the guard is on are guarded.
void* operator new(size_t a_cb)
{
    void* p = vmfuzz::Allocate(a_cb);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void* operator new[](size_t a_cb) { return operator new(a_cb); }
void* operator new(size_t a_cb, const std::nothrow_t&) noexcept { return vmfuzz::Allocate(a_cb); }
void* operator new[](size_t a_cb, const std::nothrow_t&) noexcept { return vmfuzz::Allocate(a_cb); }
void operator delete(void* a_p) noexcept { vmfuzz::Free(a_p); }
void operator delete[](void* a_p) noexcept { vmfuzz::Free(a_p); }
void operator delete(void* a_p, size_t) noexcept { vmfuzz::Free(a_p); }
void operator delete[](void* a_p, size_t) noexcept { vmfuzz::Free(a_p); }
void operator delete(void* a_p, const std::nothrow_t&) noexcept { vmfuzz::Free(a_p); }
void operator delete[](void* a_p, const std::nothrow_t&) noexcept { vmfuzz::Free(a_p); }
