#pragma once
// What the module keeps about itself: its instance handle, its lock count,
// the cached class object and the cached type information.

#include <windows.h>
#include <oaidl.h>

#include <string>

extern HINSTANCE g_hInstance;

// Full path of this module's file; empty on failure. Code linked into
// another binary (the tests) sees that binary as its module.
std::string GetOwnModulePath();

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
