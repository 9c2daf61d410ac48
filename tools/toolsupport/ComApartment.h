#pragma once
// The tools' single-threaded COM apartment, entered for the life of the
// object and left only when it was entered.

#include <objbase.h>

namespace vmtool {

class CComApartment final {
public:
    CComApartment() : m_hr(CoInitialize(nullptr)) {}
    ~CComApartment()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

} // namespace vmtool
