#pragma once
// What the administrators' shell host asks of the hook module beside the
// request itself. Not in the type library: no script reaches them.
//
// The dry run is a class of its own, CLSID_DocHookDryRun, which the module
// serves through DllGetClassObject but which no registration names: only a
// host that loads the module itself creates it, and nothing can switch the
// production hook, or any hook in Explorer's process, to dry.

#include <windows.h>
#include <unknwn.h>

// {15895B0D-1F9B-42AA-8C57-BF360D52D05F}
constexpr IID IID_IDocHookDiagnostics = {0x15895b0d, 0x1f9b, 0x42aa, {0x8c, 0x57, 0xbf, 0x36, 0x0d, 0x52, 0xd0, 0x5f}};
// {530232CD-541D-402B-89D2-68C73CD4186C}: with GetVerdictColumns.
constexpr IID IID_IDocHookDryRun = {0x530232cd, 0x541d, 0x402b, {0x89, 0xd2, 0x68, 0xc7, 0x3c, 0xd4, 0x18, 0x6c}};
// {52253A6A-C5DD-4298-AA1D-3FB76446D763}
constexpr CLSID CLSID_DocHookDryRun = {0x52253a6a, 0xc5dd, 0x4298, {0xaa, 0x1d, 0x3f, 0xb7, 0x64, 0x46, 0xd7, 0x63}};

// Served by the production hook and by the dry run.
struct IDocHookDiagnostics : public IUnknown {
    // The verdict in words on the last request this thread offered, without
    // the "verdict: " prefix; cut to fit a_cchVerdict (with its zero).
    virtual HRESULT STDMETHODCALLTYPE GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict) = 0;
};

// Served by the dry run only. Its requests are decided as the production
// hook would decide them, but nothing is started and nothing written to the
// registry; each program it would start is traced as "[dry run] would start
// [<command line>]".
struct IDocHookDryRun : public IUnknown {
    // a_szDraftPolicy: a policy file to decide by, or null (or empty) for the
    // installed one. Takes effect from the next request on.
    virtual HRESULT STDMETHODCALLTYPE UseDraftPolicy(LPCSTR a_szDraftPolicy) = 0;
    // The verdict on the last request this thread offered, in the columns of
    // the administrators' listings, from the record the words are made of.
    virtual HRESULT STDMETHODCALLTYPE GetVerdictColumns(struct DocHookVerdictColumns* a_pColumns) = 0;
};

// The verdict in columns: what became of the request ("controlled", "handed
// back", "handed back unprotected", "refused (5)", "finished by the hook",
// "protection is off"), the program and the plug-in wherever the decision
// knows them (refused and fallen-open requests too), and the reason. Each
// text is cut to fit, with its zero.
struct DocHookVerdictColumns {
    char szVerdict[64];
    char szProgram[MAX_PATH];
    char szPlugin[MAX_PATH];
    char szReason[2048];
};
