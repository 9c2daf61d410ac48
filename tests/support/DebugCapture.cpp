#include "tests/support/DebugCapture.h"

#include "common/TraceListener.h"

#include <algorithm>

namespace vmtest {
namespace {

DebugCapture* s_pActive = nullptr;

} // namespace

DebugCapture::DebugCapture()
{
    InitializeCriticalSection(&m_lock);
    s_pActive = this;
    m_hHandler = AddVectoredExceptionHandler(1, Handler);
    // The hook writes nothing to a channel nobody reads.
    vm::DeclareTraceCapture(true);
}

DebugCapture::~DebugCapture()
{
    RemoveVectoredExceptionHandler(m_hHandler);
    vm::DeclareTraceCapture(false);
    s_pActive = nullptr;
    DeleteCriticalSection(&m_lock);
}

LONG CALLBACK DebugCapture::Handler(EXCEPTION_POINTERS* a_pInfo)
{
    const EXCEPTION_RECORD* pRecord = a_pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != DBG_PRINTEXCEPTION_C || pRecord->NumberParameters < 2 || !s_pActive)
        return EXCEPTION_CONTINUE_SEARCH;
    // [0] is the length with the terminating zero, [1] the text.
    size_t cch = static_cast<size_t>(pRecord->ExceptionInformation[0]);
    const char* szText = reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]);
    if (cch > 0)
        --cch;
    s_pActive->Add(szText, cch);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void DebugCapture::Add(const char* a_szText, size_t a_cch)
{
    EnterCriticalSection(&m_lock);
    m_texts.emplace_back(a_szText, a_cch);
    LeaveCriticalSection(&m_lock);
}

std::vector<std::string> DebugCapture::Texts() const
{
    EnterCriticalSection(&m_lock);
    std::vector<std::string> texts = m_texts;
    LeaveCriticalSection(&m_lock);
    return texts;
}

void DebugCapture::Clear()
{
    EnterCriticalSection(&m_lock);
    m_texts.clear();
    LeaveCriticalSection(&m_lock);
}

bool DebugCapture::Contains(const std::string& a_strText) const
{
    return IndexOf(a_strText) >= 0;
}

size_t DebugCapture::Count(const std::string& a_strText) const
{
    std::vector<std::string> texts = Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), a_strText));
}

int DebugCapture::IndexOf(const std::string& a_strText, size_t a_iFrom) const
{
    std::vector<std::string> texts = Texts();
    for (size_t i = a_iFrom; i < texts.size(); ++i)
        if (texts[i] == a_strText)
            return static_cast<int>(i);
    return -1;
}

std::string DebugCapture::Dump() const
{
    std::string strDump;
    for (const std::string& strText : Texts())
        strDump += "  | " + strText + "\n";
    return strDump;
}

} // namespace vmtest
