#include "tools/toolsupport/DebugTextCapture.h"

#include "common/LockGuard.h"
#include "common/TraceListener.h"

#include <cstring>

namespace {

CDebugTextCapture* g_pCapture = nullptr;

// ExceptionInformation of DBG_PRINTEXCEPTION_C: [0] length with the
// terminating zero, [1] the text. The wide form (newer systems raise it for
// OutputDebugStringW first) adds the ANSI copy in [2] and [3].
std::string TextOfRecord(const EXCEPTION_RECORD& a_record, size_t a_iLength, size_t a_iText)
{
    size_t cch = static_cast<size_t>(a_record.ExceptionInformation[a_iLength]);
    const char* pText = reinterpret_cast<const char*>(a_record.ExceptionInformation[a_iText]);
    if (!pText || cch == 0)
        return std::string();
    // The length counts the zero; a writer that left it out loses nothing.
    return std::string(pText, strnlen(pText, cch));
}

} // namespace

CDebugTextCapture::CDebugTextCapture()
{
    g_pCapture = this;
    m_hHandler = AddVectoredExceptionHandler(1, Handler);
    // The writers of this process write nothing to a channel nobody reads.
    vm::DeclareTraceCapture(true);
}

CDebugTextCapture::~CDebugTextCapture()
{
    if (m_hHandler)
        RemoveVectoredExceptionHandler(m_hHandler);
    vm::DeclareTraceCapture(false);
    g_pCapture = nullptr;
}

LONG CALLBACK CDebugTextCapture::Handler(EXCEPTION_POINTERS* a_pInfo)
{
    const EXCEPTION_RECORD* pRecord = a_pInfo->ExceptionRecord;
    if (!g_pCapture)
        return EXCEPTION_CONTINUE_SEARCH;
    if (pRecord->ExceptionCode == DBG_PRINTEXCEPTION_C && pRecord->NumberParameters >= 2) {
        g_pCapture->Add(TextOfRecord(*pRecord, 0, 1));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (pRecord->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C && pRecord->NumberParameters >= 4) {
        g_pCapture->Add(TextOfRecord(*pRecord, 2, 3));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void CDebugTextCapture::Add(std::string a_strText)
{
    vm::CLockGuard lock(m_lock);
    m_texts.push_back(std::move(a_strText));
}

std::vector<std::string> CDebugTextCapture::Texts() const
{
    vm::CLockGuard lock(m_lock, vm::c_eLockShared);
    return m_texts;
}

void CDebugTextCapture::Clear()
{
    vm::CLockGuard lock(m_lock);
    m_texts.clear();
}
