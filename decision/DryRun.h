#pragma once
// The dry run of the administrators' shell host (see IDocHookDiagnostics):
// every request is decided as it would be, and nothing is started and
// nothing written to the registry.

// True while the host of this process runs dry.
bool IsDryRun();
#include "request/PolicySource.h"

// The policy the dry run decides by: a draft file, or the installed one.
PolicySource DryRunPolicy();

// a_szDraftPolicy: a policy file to decide by, or null for the installed one.
void BeginDryRun(const char* a_szDraftPolicy);
void EndDryRun();
