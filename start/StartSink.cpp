#include "start/StartSink.h"

#include "common/AuditTrail.h"
#include "common/FileIdentity.h"
#include "common/PolicyHandOver.h"
#include "common/ProcessStart.h"
#include "trace/Trace.h"

#include <windows.h>

namespace {

class CRealStartSink final : public CStartSink {
public:
    int Start(const std::wstring& a_strProgram, std::wstring a_strCommandLine,
              vm::UniqueNullHandle* a_pProcess, HANDLE a_hPolicy) override
    {
        vm::UniqueProcessInfo process;
        if (!vm::StartProgramWithPolicy(a_strProgram, std::move(a_strCommandLine), 0, nullptr, a_hPolicy, process))
            return vm::StartErrorCode(GetLastError());
        if (a_pProcess) {
            HANDLE hProcess = nullptr;
            if (DuplicateHandle(GetCurrentProcess(), process.get().hProcess, GetCurrentProcess(), &hProcess,
                                SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
                a_pProcess->reset(hProcess);
        }
        return 0;
    }

    void RecordStarted(const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                       const std::wstring& a_strPlugin, const char* a_szRoute) override
    {
        vm::ReportControlledStart(a_strDocument, a_strProgram, a_strPlugin, a_szRoute);
    }

    void RecordRefused(const vm::RefusedStart& a_refused) override { vm::ReportStartRefused(a_refused); }

    void RecordUnprotected(const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                           const std::wstring& a_strPlugin, const std::string& a_strMissing) override
    {
        vm::ReportHandedBackUnprotected(a_strDocument, a_strProgram, a_strPlugin, a_strMissing);
    }

    bool MayWrite() const override { return true; }
};

// A dry run leaves no record of what it did not do.
class CDryStartSink final : public CStartSink {
public:
    int Start(const std::wstring&, std::wstring a_strCommandLine, vm::UniqueNullHandle*, HANDLE) override
    {
        TraceAlways("[dry run] would start [%s]", vm::AnsiRendering(a_strCommandLine).c_str());
        return 0;
    }

    void RecordStarted(const std::wstring&, const std::wstring&, const std::wstring&, const char*) override {}
    void RecordRefused(const vm::RefusedStart&) override {}
    void RecordUnprotected(const std::wstring&, const std::wstring&, const std::wstring&, const std::string&) override
    {
    }
    bool MayWrite() const override { return false; }
};

} // namespace

CStartSink& RealStartSink()
{
    static CRealStartSink s_sink;
    return s_sink;
}

CStartSink& DryStartSink()
{
    static CDryStartSink s_sink;
    return s_sink;
}
