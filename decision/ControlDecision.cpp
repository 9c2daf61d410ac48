#include "decision/LxShellExt.h"
#include "decision/Verdict.h"

#include "companions/cipher/cipher.h"
#include "trace/Trace.h"

int CLxShellExt::CheckControlInformation()
{
    int nException = IsExceptionApplication();
    // The text has no opening bracket; tools that read the trace expect it so.
    TraceAlways("CLxShellExt::CheckControlInformation] IsExceptionApplication is [%d]", nException);
    if (nException == EXECUTE_EXCEPTION) {
        TraceAlways("[CLxShellExt::CheckControlInformation] IsExceptionApplication is EXECUTE_EXCEPTION");
        return EXECUTE_EXCEPTION;
    }
    if (lstrcmpiA(m_strAppName.c_str(), "rundll32.exe") == 0) {
        ThreadVerdict().m_szCause = "rundll32 runs whatever module it is given, so it is never controlled";
        return SKIPPED_INJECTION;
    }

    int nRegistered = IsRegisteredApplication();
    TraceAlways("[CLxShellExt::CheckControlInformation] IsRegisteredApplication is [%d]", nRegistered);
    if (nException == EXECUTE_INJECTION && nRegistered == 1)
        return EXECUTE_INJECTION;
    // The handed-back request's verdict says which cause applied.
    if (nException != EXECUTE_INJECTION)
        ThreadVerdict().m_szCause = "an exception rule of the policy leaves the application alone";
    else if (nRegistered == 0)
        ThreadVerdict().m_szCause = "the policy registers no plug-in for the application";
    else
        ThreadVerdict().m_szCause = "the policy is not valid, or the plug-in it names is missing";
    return SKIPPED_INJECTION;
}

void CLxShellExt::GetDoucmentInfo()
{
    m_bAcapFile = false;
    CFlexibleHeader header;
    if (header.GetHeaderFromFile(m_strDocument.c_str(), 0, 0, 0) == 0) {
        TraceAlways("[CLxShellExt::GetDoucmentInfo] -> acap file [%s]", m_strFilePath.c_str());
        m_bAcapFile = true;
    }
}
