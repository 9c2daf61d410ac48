#pragma once
// The class object of CDocHook, created on first request and kept until the
// module unloads.

#include <windows.h>
#include <unknwn.h>

HRESULT GetDocHookClassObject(REFIID a_riid, void** a_ppv);
void ReleaseCachedClassObject();
