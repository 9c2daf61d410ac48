#pragma once
// The one way a lock is held in the product: a slim reader/writer lock, taken
// exclusively, or shared by readers that only look, for exactly the guard's
// scope. It is let go on every way out of that scope, an exception included.

#include <windows.h>

namespace vm {

enum ELockMode { c_eLockExclusive, c_eLockShared };

class CLockGuard final {
public:
    explicit CLockGuard(SRWLOCK& a_lock, ELockMode a_eMode = c_eLockExclusive)
        : m_lock(a_lock), m_eMode(a_eMode)
    {
        if (m_eMode == c_eLockShared)
            AcquireSRWLockShared(&m_lock);
        else
            AcquireSRWLockExclusive(&m_lock);
    }
    ~CLockGuard()
    {
        if (m_eMode == c_eLockShared)
            ReleaseSRWLockShared(&m_lock);
        else
            ReleaseSRWLockExclusive(&m_lock);
    }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    SRWLOCK& m_lock;
    const ELockMode m_eMode;
};

} // namespace vm
