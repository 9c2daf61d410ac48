#pragma once
// Which running instances of the application already carry the enforcement
// plug-in. The scan runs inside Explorer: a fault or an exception inside a
// walk ends that walk with a safe answer and never reaches the shell.

#include "policy/AppProcessQueue.h"
#include "request/RequestState.h"

#include <windows.h>

#include <string>

namespace policy {

// The running processes named a_strAppName; 0 when the walk failed.
int GetAppList(const std::string& a_strAppName, AppProcessQueue& a_queue);
// True when the process has a module of the plug-in's file name.
bool CheckModule(const std::string& a_strInjectionDll, DWORD a_dwProcessId);
// False when a running instance that takes documents by DDE already carries
// the plug-in: the document goes to it.
bool IsInjectableApplication(const CRequestState& a_request);

} // namespace policy
