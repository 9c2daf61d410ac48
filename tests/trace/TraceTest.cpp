// The debug trace as a debugger sees it: texts, switches, the fault guard and
// the buffer ends.

#include "trace/FaultGuard.h"
#include "trace/Trace.h"

#include "tests/support/DebugCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A page that cannot be read: a "%s" pointing into it faults while formatting.
class NoAccessPage {
public:
    NoAccessPage() { m_p = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS)); }
    ~NoAccessPage() { VirtualFree(m_p, 0, MEM_RELEASE); }
    const char* get() const { return m_p; }

private:
    char* m_p;
};

using vm::CurrentExceptionList; // x64: the innermost guard's resume point, as it has no fs:[0] chain

class SwitchGuard {
public:
    SwitchGuard() : m_bTrace(g_bTraceEnabled), m_bLine(g_bTraceLineEnabled) {}
    ~SwitchGuard()
    {
        g_bTraceEnabled = m_bTrace;
        g_bTraceLineEnabled = m_bLine;
    }

private:
    bool m_bTrace;
    bool m_bLine;
};

class TraceTest : public ::testing::Test {
protected:
    vmtest::DebugCapture m_capture;
    SwitchGuard m_switches;
};

TEST_F(TraceTest, AlwaysOnWritesTheTextAsFormattedInOneMessage)
{
    TraceAlways("[CLxShellExt::Execute] case : Open");
    TraceAlways("[CLxShellRegistry::Open] registry Open failed, ret = %d", 2);
    TraceAlways("~~~~~~CDocHook::Execute End (return=%s)\n", "S_OK");
    TraceAlways("hKeyClass(%x)", 0x80000000u);
    std::vector<std::string> texts = m_capture.Texts();
    ASSERT_EQ(texts.size(), 4u) << m_capture.Dump();
    EXPECT_EQ(texts[0], "[CLxShellExt::Execute] case : Open");
    EXPECT_EQ(texts[1], "[CLxShellRegistry::Open] registry Open failed, ret = 2");
    EXPECT_EQ(texts[2], "~~~~~~CDocHook::Execute End (return=S_OK)\n");
    EXPECT_EQ(texts[3], "hKeyClass(80000000)");
}

TEST_F(TraceTest, SwitchableFollowsItsSwitch)
{
    TraceSwitchable("queue size[%d]", 3);
    g_bTraceEnabled = false;
    TraceSwitchable("not written");
    EXPECT_EQ(m_capture.Texts(), std::vector<std::string>{"queue size[3]"}) << m_capture.Dump();
}

TEST_F(TraceTest, LineTraceIsSilentFromLoadAndAddsALineFeedWhenOn)
{
    TraceLine("Exclude App:%s", "winword.exe");
    EXPECT_TRUE(m_capture.Texts().empty()) << m_capture.Dump();

    g_bTraceLineEnabled = true;
    TraceLine("Exclude App:%s", "winword.exe");
    EXPECT_EQ(m_capture.Texts(), std::vector<std::string>{"Exclude App:winword.exe\n"});
}

TEST_F(TraceTest, FaultWhileFormattingLosesOnlyThatLine)
{
    NoAccessPage page;
    void* pChainBefore = CurrentExceptionList();
    for (int i = 0; i < 1000; ++i) {
        TraceAlways("lost %s", page.get());
        TraceAlways("kept %d", i);
        ASSERT_EQ(CurrentExceptionList(), pChainBefore) << "after fault " << i;
    }
    std::vector<std::string> texts = m_capture.Texts();
    ASSERT_EQ(texts.size(), 1000u);
    EXPECT_EQ(texts.front(), "kept 0");
    EXPECT_EQ(texts.back(), "kept 999");
}

// A guard page raises a warning-severity exception (0x80000001), not an
// access violation; it is re-armed before every line, as the platform
// disarms it on the first touch.
TEST_F(TraceTest, GuardPageWhileFormattingLosesOnlyThatLine)
{
    char* pGuarded = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD));
    ASSERT_TRUE(pGuarded);
    g_bTraceLineEnabled = true;
    for (int i = 0; i < 3; ++i) {
        DWORD dwOld = 0;
        ASSERT_TRUE(VirtualProtect(pGuarded, 4096, PAGE_READWRITE | PAGE_GUARD, &dwOld));
        TraceAlways("lost %s", pGuarded);
        ASSERT_TRUE(VirtualProtect(pGuarded, 4096, PAGE_READWRITE | PAGE_GUARD, &dwOld));
        TraceLine("lost %s", pGuarded);
        TraceAlways("kept %d", i);
    }
    VirtualFree(pGuarded, 0, MEM_RELEASE);
    EXPECT_EQ(m_capture.Texts(), (std::vector<std::string>{"kept 0", "kept 1", "kept 2"})) << m_capture.Dump();
}

TEST_F(TraceTest, LineTraceFaultLosesOnlyThatLine)
{
    NoAccessPage page;
    g_bTraceLineEnabled = true;
    void* pChainBefore = CurrentExceptionList();
    for (int i = 0; i < 50; ++i) {
        TraceLine("lost %s", page.get());
        TraceLine("kept %d", i);
    }
    EXPECT_EQ(CurrentExceptionList(), pChainBefore);
    std::vector<std::string> texts = m_capture.Texts();
    ASSERT_EQ(texts.size(), 50u);
    EXPECT_EQ(texts.back(), "kept 49\n");
}

DWORD WINAPI FaultingTraces(void* a_pPage)
{
    for (int i = 0; i < 1000; ++i) {
        TraceAlways("lost %s", static_cast<const char*>(a_pPage));
        TraceAlways("thread line");
    }
    return 0;
}

TEST_F(TraceTest, FaultGuardHoldsOnTwoThreadsAtOnce)
{
    NoAccessPage page;
    HANDLE threads[2];
    for (HANDLE& h : threads)
        h = CreateThread(nullptr, 0, FaultingTraces, const_cast<char*>(page.get()), 0, nullptr);
    WaitForMultipleObjects(2, threads, TRUE, 60000);
    for (HANDLE h : threads) {
        DWORD dwExit = 1;
        GetExitCodeThread(h, &dwExit);
        EXPECT_EQ(dwExit, 0u);
        CloseHandle(h);
    }
    EXPECT_EQ(m_capture.Count("thread line"), 2000u);
}

// Texts that reach the buffer's end are cut there, never written past it.
struct BoundaryRow {
    size_t m_cchText;      // length of the formatted text
    size_t m_cchExpected;  // length that reaches the debugger
    bool m_bLine;          // through TraceLine
};

class TraceBoundaryTest : public ::testing::TestWithParam<BoundaryRow> {
protected:
    vmtest::DebugCapture m_capture;
    SwitchGuard m_switches;
};

TEST_P(TraceBoundaryTest, CutsAtTheBufferEnd)
{
    const BoundaryRow& row = GetParam();
    std::string strText(row.m_cchText, 'x');
    strText[0] = 'A';
    g_bTraceLineEnabled = true;
    if (row.m_bLine)
        TraceLine("%s", strText.c_str());
    else
        TraceAlways("%s", strText.c_str());

    std::vector<std::string> texts = m_capture.Texts();
    ASSERT_EQ(texts.size(), 1u);
    std::string strExpected = strText.substr(0, row.m_cchExpected) + (row.m_bLine ? "\n" : "");
    EXPECT_EQ(texts[0].size(), strExpected.size());
    EXPECT_TRUE(texts[0] == strExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TraceBoundaryTest,
    ::testing::Values(
        BoundaryRow{4094, 4094, false},       // fits with room to spare
        BoundaryRow{4095, 4095, false},       // fills the buffer with its zero
        BoundaryRow{4096, 4095, false},       // one too many: cut
        BoundaryRow{10000, 4095, false},      // far too long: cut
        BoundaryRow{999998, 999998, true},    // fills the line buffer with line feed and zero
        BoundaryRow{999999, 999998, true},    // one too many: cut, line feed kept
        BoundaryRow{1500000, 999998, true})); // far too long

} // namespace
