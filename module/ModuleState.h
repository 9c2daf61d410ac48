#pragma once
// What the module keeps for COM: its lock count and the cached type
// information; its identity (handle and path) lives in common/.

#include "common/ModuleIdentity.h"

#include <windows.h>
#include <oaidl.h>

// Module lock count: objects alive, class objects held from outside, LockServer.
void ModuleAddRef();
void ModuleRelease();
LONG ModuleLockCount();

// Type information of IDocHook from the registered type library, loaded once
// under the module's lock and kept until the module unloads.
HRESULT GetDocHookTypeInfo(ITypeInfo** a_ppTypeInfo);

// Process attach and detach.
void InitModuleState(HINSTANCE a_hInstance);
void TermModuleState();
