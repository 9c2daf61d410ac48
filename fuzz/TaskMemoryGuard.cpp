#include "fuzz/GuardedMemory.h"

#include "tests/support/PolicyTestSupport.h"

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <memory>

namespace vmfuzz {

namespace {

// The entry points are patched with a jump, so the originals cannot be
// called; the task allocator's own methods are not patched and serve every
// block that is not a guarded one.
IMalloc* s_pMalloc = nullptr;

void* WINAPI GuardedTaskAlloc(SIZE_T a_cb)
{
    void* p = IsHeapGuardOn() ? AllocateGuarded(a_cb) : nullptr;
    return p ? p : s_pMalloc->Alloc(a_cb);
}

void WINAPI GuardedTaskFree(void* a_p)
{
    if (a_p && !FreeGuarded(a_p))
        s_pMalloc->Free(a_p);
}

void* WINAPI GuardedTaskRealloc(void* a_p, SIZE_T a_cb)
{
    size_t cbOld = a_p ? GuardedSize(a_p) : 0;
    if (a_p && cbOld == 0 && s_pMalloc->DidAlloc(a_p) == 1)
        return s_pMalloc->Realloc(a_p, a_cb);
    if (a_cb == 0) {
        GuardedTaskFree(a_p);
        return nullptr;
    }
    void* pNew = GuardedTaskAlloc(a_cb);
    if (pNew && a_p) {
        std::memcpy(pNew, a_p, cbOld < a_cb ? cbOld : a_cb);
        FreeGuarded(a_p);
    }
    return pNew;
}

void* Export(const char* a_szName)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ole32.dll"), a_szName));
}

std::unique_ptr<vmtest::PolicyCodePatch> s_patches[3];

} // namespace

CTaskMemoryGuard::CTaskMemoryGuard()
{
    LoadLibraryA("ole32.dll");
    CoGetMalloc(1, &s_pMalloc);
    s_patches[0] = std::make_unique<vmtest::PolicyCodePatch>(Export("CoTaskMemAlloc"),
                                                             reinterpret_cast<void*>(GuardedTaskAlloc));
    s_patches[1] = std::make_unique<vmtest::PolicyCodePatch>(Export("CoTaskMemRealloc"),
                                                             reinterpret_cast<void*>(GuardedTaskRealloc));
    s_patches[2] = std::make_unique<vmtest::PolicyCodePatch>(Export("CoTaskMemFree"),
                                                             reinterpret_cast<void*>(GuardedTaskFree));
}

CTaskMemoryGuard::~CTaskMemoryGuard()
{
    for (auto& pPatch : s_patches)
        pPatch.reset();
}

} // namespace vmfuzz
