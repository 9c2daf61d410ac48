#pragma once
// A shell-execute request offered to a decision object, with the hook's own
// traces around it: the one road of a request for the production hook and
// for the dry run.

#include "decision/LxShellExt.h"

#include <windows.h>
#include <shellapi.h>

// S_OK when the decision took the request over (hInstApp then holds its
// code), S_FALSE when it hands it back.
HRESULT OfferRequest(CLxShellExt& a_decision, LPSHELLEXECUTEINFOA a_pei);
// A request the ANSI code page holds is handled as its ANSI form; any other
// under its real names.
HRESULT OfferRequest(CLxShellExt& a_decision, LPSHELLEXECUTEINFOW a_pei);

// The verdict in words on the last request this thread offered, by the
// policy a_decision follows.
HRESULT GetVerdictText(const CLxShellExt& a_decision, LPSTR a_szVerdict, UINT a_cchVerdict);
// The same verdict in the listings' columns.
HRESULT GetVerdictColumnsOf(const CLxShellExt& a_decision, struct DocHookVerdictColumns* a_pColumns);
