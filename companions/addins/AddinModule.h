#pragma once
// What the add-in's class and its exports share: the module's handle and its
// count of objects and locks, which decides whether the module may unload.

#include <windows.h>

#include <string>

extern HINSTANCE g_hAddinInstance;

void AddinModuleAddRef();
void AddinModuleRelease();

// The module's own full path; empty when it does not fit MAX_PATH.
std::string GetAddinModulePath();

// Creates the add-in's connection object and hands out a_riid of it.
HRESULT CreateConnect(REFIID a_riid, void** a_ppv);

// Writes one text to the debugger output, cut to the buffer's size.
void TraceAddin(const char* a_szFormat, ...) __attribute__((format(printf, 1, 2)));
