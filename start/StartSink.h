#pragma once
// Where the controlled starts of a decision go. The real sink starts the
// program and records it in the audit trail; the dry sink of the
// administrators' dry run traces "[dry run] would start [...]" and records
// nothing. A decision that may not start may not write the registry either.

#include "common/AuditTrail.h"
#include "common/Handle.h"

#include <string>

class CStartSink {
public:
    virtual ~CStartSink() = default;

    // Starts a_strCommandLine with a_strProgram (a full path) as its program.
    // 0 when it started, else the shell's SE_ERR_* code for the platform's
    // error. The process handle goes to a_pProcess when one is given and a
    // process was started; nothing of the process is kept otherwise.
    // a_hPolicy: a policy section handed to the launcher (common/PolicyHandOver.h), or null.
    virtual int Start(const std::wstring& a_strProgram, std::wstring a_strCommandLine,
                      vm::UniqueNullHandle* a_pProcess, HANDLE a_hPolicy) = 0;
    // The audit trail's records of a start and of a start that did not happen.
    virtual void RecordStarted(const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                               const std::wstring& a_strPlugin, const char* a_szRoute) = 0;
    virtual void RecordRefused(const vm::RefusedStart& a_refused) = 0;
    // A controlled request handed back unprotected, and what it lacks.
    virtual void RecordUnprotected(const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                                   const std::wstring& a_strPlugin, const std::string& a_strMissing) = 0;
    // False for the dry sink.
    virtual bool MayWrite() const = 0;
};

// The process's two sinks; neither holds state.
CStartSink& RealStartSink();
CStartSink& DryStartSink();
