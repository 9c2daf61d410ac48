#pragma once
// Which applications are controlled, which are exceptions, and where their
// enforcement plug-in lies: the rules of the company policy file applied to
// the request's application.

#include "request/PolicySource.h"
#include "request/RequestState.h"
#include "request/ViewerPlan.h"

#include <windows.h>

#include <string>

namespace policy {

bool GetFixedFileInfo(const char* a_szPath, VS_FIXEDFILEINFO* a_pInfo);

// SKIPPED_INJECTION for an Office application that enforces the rules through
// the product's add-in; EXECUTE_EXCEPTION for the image viewer, whose start
// a_plan then holds; EXECUTE_INJECTION otherwise.
int IsExceptionApplication(const CRequestState& a_request, ImageViewerPlan& a_plan);

// 1: registered, and m_strInjectionDll names its existing plug-in; 0: not
// registered, or excluded; 2: the policy is not valid, or the plug-in or the
// Office add-in is missing. a_bMayWrite: the Office add-ins may be
// registered on the way.
int IsRegisteredApplication(CRequestState& a_request, const PolicySource& a_source, bool a_bMayWrite);

// True when a_strAppName is on the exclusion list and on the list of
// applications that protect themselves.
bool IsExcludeApplication(const std::string& a_strAppName, const char* a_szExcludeList, const char* a_szPmiList);

} // namespace policy
