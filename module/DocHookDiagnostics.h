#pragma once
// IDocHookDiagnostics: what the administrators' shell host asks of the hook
// beside the request itself. A dry run is switched on only through this
// interface, so only code running inside the process can switch it on:
// nothing a user sets outside it (a variable, a registry value, a file) puts
// Explorer or any other host into dry-run mode. Not in the type library: no
// script reaches it.

#include <windows.h>
#include <unknwn.h>

// {6B60FC0C-3F98-49B8-84EB-16FDA5AF6B75}
constexpr IID IID_IDocHookDiagnostics = {0x6b60fc0c, 0x3f98, 0x49b8, {0x84, 0xeb, 0x16, 0xfd, 0xa5, 0xaf, 0x6b, 0x75}};

struct IDocHookDiagnostics : public IUnknown {
    // From now on this process's hook decides every request as it would and
    // starts nothing, writes nothing to the registry, and traces each program
    // it would start as "[dry run] would start [<command line>]". With a
    // draft policy file the decisions follow it instead of the installed one.
    virtual HRESULT STDMETHODCALLTYPE BeginDryRun(LPCSTR a_szDraftPolicy) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndDryRun() = 0;
    // The verdict in words on the last request this thread offered, without
    // the "verdict: " prefix; cut to fit a_cchVerdict (with its zero).
    virtual HRESULT STDMETHODCALLTYPE GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict) = 0;
};
