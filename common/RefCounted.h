#pragma once
// The reference count of a COM object of ours: one reference for its creator,
// and the object deletes itself when the last one is released.

#include <windows.h>

namespace vm {

template <typename TInterface>
class CRefCounted : public TInterface {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG cRef = InterlockedDecrement(&m_cRef);
        if (cRef == 0)
            delete this;
        return cRef;
    }

protected:
    CRefCounted() = default;
    virtual ~CRefCounted() = default;
    CRefCounted(const CRefCounted&) = delete;
    CRefCounted& operator=(const CRefCounted&) = delete;

private:
    LONG m_cRef = 1;
};

} // namespace vm
