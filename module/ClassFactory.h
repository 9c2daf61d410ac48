#pragma once
// The class objects of the module's classes (the production hook and the dry
// run), each created on first request and kept until the module unloads.

#include <windows.h>
#include <unknwn.h>

// CLASS_E_CLASSNOTAVAILABLE for a class the module does not serve.
HRESULT GetServedClassObject(REFCLSID a_rclsid, REFIID a_riid, void** a_ppv);
void ReleaseCachedClassObjects();
