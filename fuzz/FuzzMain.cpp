// vmfuzz: feeds generated and mutated inputs to one parser of outside text.
//
//   vmfuzz TARGET [--count N] [--start I] [--seed S] [--out DIR]
//   vmfuzz TARGET --replay FILE
//
// Input number I of a run is made from the seed and I alone, so a run that
// stopped can go on from the next number. Every faulting or hanging input is
// saved in DIR under its target and number.

#include "fuzz/GuardedMemory.h"
#include "fuzz/Targets.h"

#include "common/Handle.h"
#include "common/TraceListener.h"
#include "tests/support/HandleCount.h"
#include "trace/FaultGuard.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

using namespace vmfuzz;

constexpr DWORD c_dwHangMs = 1000;
// An input this slow will not end: the run stops and can be resumed after it.
constexpr DWORD c_dwStuckMs = 30000;
constexpr DWORD c_dwHandleSlack = 8;
constexpr long c_cLeftBlocks = 4000;

struct Options {
    std::string m_strTarget;
    uint64_t m_uCount = 1000;
    uint64_t m_uStart = 0;
    uint64_t m_uSeed = 1;
    std::string m_strOut;
    std::string m_strReplay;
};

struct RunState {
    const Target* m_pTarget = nullptr;
    std::string m_strOut;
    uint64_t m_uInputs = 0;
    unsigned m_cFaults = 0;
    volatile LONG m_cHangs = 0;
    DWORD m_dwStartTick = 0;
    // What the watchdog looks at.
    volatile LONG m_bBusy = 0;
    volatile DWORD m_dwInputTick = 0;
    volatile LONG m_bHangSaved = 0;
    const std::string* volatile m_pCurrent = nullptr;
    volatile uint64_t m_uCurrent = 0;
    std::set<DWORD> m_children;
};

RunState s_state;
thread_local DWORD t_dwFaultCode = 0;
thread_local void* t_pFaultAddress = nullptr;
// Return addresses into this program found on the stack at the fault, the
// nearest first: where the product's code was when a platform call faulted.
constexpr int c_cCallers = 4;
thread_local void* t_pCallers[c_cCallers];
// Faulting inputs saved per fault site; more of the same say nothing new.
constexpr unsigned c_cSavedPerSite = 3;
LONG s_cDebugTexts = 0;

bool IsInProgram(uintptr_t a_uAddress)
{
    static const auto* s_pBase = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    static const auto* s_pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        s_pBase + reinterpret_cast<const IMAGE_DOS_HEADER*>(s_pBase)->e_lfanew);
    uintptr_t uCodeStart = reinterpret_cast<uintptr_t>(s_pBase) + s_pNt->OptionalHeader.BaseOfCode;
    return a_uAddress >= uCodeStart && a_uAddress < uCodeStart + s_pNt->OptionalHeader.SizeOfCode;
}

// Frame pointers are omitted at -O2: the stack is scanned for words that
// point into this program's code instead.
void NoteCallers(uintptr_t a_uStack)
{
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(reinterpret_cast<void*>(a_uStack), &info, sizeof(info)))
        return;
    auto* pWord = reinterpret_cast<const uintptr_t*>(a_uStack);
    auto* pEnd = reinterpret_cast<const uintptr_t*>(static_cast<const char*>(info.BaseAddress) +
                                                    info.RegionSize);
    int cFound = 0;
    for (; pWord < pEnd && cFound < c_cCallers; ++pWord)
        if (IsInProgram(*pWord))
            t_pCallers[cFound++] = reinterpret_cast<void*>(*pWord);
    for (; cFound < c_cCallers; ++cFound)
        t_pCallers[cFound] = nullptr;
}

// Debugger output is counted and dropped here: it would otherwise cost a
// trip through the system-wide channel per text.
LONG CALLBACK OnException(EXCEPTION_POINTERS* a_pInfo)
{
    DWORD dwCode = a_pInfo->ExceptionRecord->ExceptionCode;
    if (dwCode == DBG_PRINTEXCEPTION_C) {
        InterlockedIncrement(&s_cDebugTexts);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (dwCode == EXCEPTION_ACCESS_VIOLATION || (dwCode & 0xC0000000u) == 0xC0000000u) {
        t_dwFaultCode = dwCode;
        t_pFaultAddress = a_pInfo->ExceptionRecord->ExceptionAddress;
#ifdef _WIN64
        NoteCallers(a_pInfo->ContextRecord->Rsp);
#else
        NoteCallers(a_pInfo->ContextRecord->Esp);
#endif
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void SaveInput(const char* a_szKind, uint64_t a_uIndex, const std::string& a_strInput)
{
    std::string strPath = s_state.m_strOut + "\\" + a_szKind + "-" + s_state.m_pTarget->m_szName +
                          "-" + std::to_string(a_uIndex) + ".in";
    std::ofstream(strPath, std::ios::binary).write(a_strInput.data(),
                                                   static_cast<std::streamsize>(a_strInput.size()));
    std::printf("  saved %s\n", strPath.c_str());
}

void NoteChildren()
{
    vm::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !Process32First(snapshot.get(), &entry))
        return;
    do {
        if (entry.th32ParentProcessID == GetCurrentProcessId())
            s_state.m_children.insert(entry.th32ProcessID);
    } while (Process32Next(snapshot.get(), &entry));
}

void PrintSummary(DWORD a_dwHandlesFirst, DWORD a_dwHandlesLast)
{
    double dSeconds = (GetTickCount() - s_state.m_dwStartTick) / 1000.0;
    std::printf("vmfuzz: target=%s inputs=%llu seconds=%.1f rate=%.0f/s faults=%u hangs=%ld "
                "handles=%lu->%lu processes=%u debugtexts=%ld\n",
                s_state.m_pTarget->m_szName, static_cast<unsigned long long>(s_state.m_uInputs),
                dSeconds, dSeconds > 0 ? s_state.m_uInputs / dSeconds : 0.0, s_state.m_cFaults,
                s_state.m_cHangs, a_dwHandlesFirst, a_dwHandlesLast,
                static_cast<unsigned>(s_state.m_children.size()), s_cDebugTexts);
    std::fflush(stdout);
}

DWORD WINAPI Watchdog(void*)
{
    for (;;) {
        Sleep(100);
        if (!s_state.m_bBusy)
            continue;
        DWORD dwElapsed = GetTickCount() - s_state.m_dwInputTick;
        if (dwElapsed > c_dwHangMs && InterlockedExchange(&s_state.m_bHangSaved, 1) == 0) {
            InterlockedIncrement(&s_state.m_cHangs);
            std::printf("hang: input %llu runs longer than %lu ms\n",
                        static_cast<unsigned long long>(s_state.m_uCurrent), c_dwHangMs);
            SaveInput("hang", s_state.m_uCurrent, *s_state.m_pCurrent);
        }
        if (dwElapsed > c_dwStuckMs) {
            std::printf("stuck: input %llu; resume with --start %llu\n",
                        static_cast<unsigned long long>(s_state.m_uCurrent),
                        static_cast<unsigned long long>(s_state.m_uCurrent + 1));
            PrintSummary(0, 0);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

struct GuardedRun {
    const Target* m_pTarget;
    const std::string* m_pInput;
    bool m_bThrew = false;
};

void CallTarget(void* a_pContext)
{
    auto* pRun = static_cast<GuardedRun*>(a_pContext);
    try {
        pRun->m_pTarget->m_pfnRun(*pRun->m_pInput);
    } catch (...) {
        pRun->m_bThrew = true;
    }
}

// True when the input ran to its end without a fault.
bool RunOne(const Target& a_target, const std::string& a_strInput, uint64_t a_uIndex)
{
    GuardedRun run{&a_target, &a_strInput};
    s_state.m_pCurrent = &a_strInput;
    s_state.m_uCurrent = a_uIndex;
    s_state.m_bHangSaved = 0;
    s_state.m_dwInputTick = GetTickCount();
    s_state.m_bBusy = 1;
    SetHeapGuard(true);
    bool bEnded = vm::RunGuarded(CallTarget, &run);
    SetHeapGuard(false);
    s_state.m_bBusy = 0;
    ClearGuardTombstones();
    if (bEnded && !run.m_bThrew)
        return true;
    if (run.m_bThrew)
        t_dwFaultCode = 0, t_pFaultAddress = nullptr;
    return false;
}

// --- self-check: a one-byte over-read past a text or a heap block faults ------

void ReadPastText(void* a_pContext)
{
    auto* pText = static_cast<CGuardedText*>(a_pContext);
    volatile char ch = pText->Get()[pText->Size() + 1];
    (void)ch;
}

void ReadTextEnd(void* a_pContext)
{
    auto* pText = static_cast<CGuardedText*>(a_pContext);
    volatile char ch = pText->Get()[pText->Size()];
    (void)ch;
}

void ReadPastHeapBlock(void* a_pContext)
{
    auto* pBlock = static_cast<std::string*>(a_pContext);
    volatile char ch = pBlock->c_str()[pBlock->size() + 1];
    (void)ch;
}

bool SelfCheck()
{
    CGuardedText text("over-read probe");
    SetHeapGuard(true);
    auto* pBlock = new std::string("a heap block longer than the inline buffer");
    SetHeapGuard(false);
    bool bOk = vm::RunGuarded(ReadTextEnd, &text) && !vm::RunGuarded(ReadPastText, &text) &&
               !vm::RunGuarded(ReadPastHeapBlock, pBlock);
    SetHeapGuard(true);
    delete pBlock;
    SetHeapGuard(false);
    bOk = bOk && GuardedBlocksAlive() == 0;
    std::printf("self-check: %s\n", bOk ? "a one-byte over-read of a text and of a heap block faults"
                                        : "FAILED: an over-read went unnoticed");
    return bOk;
}

// ------------------------------------------------------------------------------------------

bool ParseOptions(int a_argc, char** a_argv, Options& a_options)
{
    if (a_argc < 2)
        return false;
    a_options.m_strTarget = a_argv[1];
    for (int i = 2; i + 1 < a_argc; i += 2) {
        std::string strName = a_argv[i];
        const char* szValue = a_argv[i + 1];
        if (strName == "--count")
            a_options.m_uCount = std::strtoull(szValue, nullptr, 10);
        else if (strName == "--start")
            a_options.m_uStart = std::strtoull(szValue, nullptr, 10);
        else if (strName == "--seed")
            a_options.m_uSeed = std::strtoull(szValue, nullptr, 10);
        else if (strName == "--out")
            a_options.m_strOut = szValue;
        else if (strName == "--replay")
            a_options.m_strReplay = szValue;
        else
            return false;
    }
    return (a_argc % 2) == 0;
}

std::string DefaultOutDir()
{
    char szPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath = szPath;
    return strPath.substr(0, strPath.find_last_of('\\')) + "\\findings";
}

void PrintFault(uint64_t a_uIndex)
{
    char szModule[MAX_PATH] = "?";
    HMODULE hModule = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<const char*>(t_pFaultAddress), &hModule))
        GetModuleFileNameA(hModule, szModule, MAX_PATH);
    std::printf("fault: input %llu: %s 0x%08lx at %p in %s; callers in vmfuzz.exe:",
                static_cast<unsigned long long>(a_uIndex),
                t_dwFaultCode ? "exception" : "C++ exception", t_dwFaultCode, t_pFaultAddress,
                szModule);
    for (void* pCaller : t_pCallers)
        if (pCaller)
            std::printf(" %p", pCaller);
    std::printf("\n");
}

void NoteFault(uint64_t a_uIndex, const std::string& a_strInput)
{
    static std::map<std::pair<DWORD, void*>, unsigned> s_sites;
    ++s_state.m_cFaults;
    unsigned& cSeen = s_sites[{t_dwFaultCode, t_pFaultAddress}];
    if (cSeen++ >= c_cSavedPerSite)
        return;
    PrintFault(a_uIndex);
    SaveInput("fault", a_uIndex, a_strInput);
}

int Replay(const Target& a_target, const std::string& a_strFile)
{
    std::ifstream file(a_strFile, std::ios::binary);
    if (!file) {
        std::printf("cannot read %s\n", a_strFile.c_str());
        return 2;
    }
    std::stringstream bytes;
    bytes << file.rdbuf();
    std::string strInput = bytes.str();
    DWORD dwStart = GetTickCount();
    bool bOk = RunOne(a_target, strInput, 0);
    if (!bOk)
        PrintFault(0);
    std::printf("replay %s: %s after %lu ms\n", a_strFile.c_str(), bOk ? "no fault" : "FAULT",
                GetTickCount() - dwStart);
    return bOk ? 0 : 1;
}

int Fuzz(const Target& a_target, const Corpus& a_corpus, const Options& a_options)
{
    CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    s_state.m_dwStartTick = GetTickCount();
    // Handles are counted once the target has settled: first uses open what
    // stays open for the life of the process (caches, the C++ runtime).
    uint64_t uWarmup = a_options.m_uCount / 10 < 200 ? a_options.m_uCount / 10 : 200;
    uint64_t uReport = a_options.m_uCount >= 10 ? a_options.m_uCount / 10 : 1;
    DWORD dwHandlesFirst = 0;
    DWORD dwHandlesLast = 0;
    for (uint64_t n = 0; n < a_options.m_uCount; ++n) {
        uint64_t uIndex = a_options.m_uStart + n;
        std::string strInput = MakeInput(a_corpus, a_options.m_uSeed, uIndex);
        if (!RunOne(a_target, strInput, uIndex)) {
            NoteFault(uIndex, strInput);
            // The thread's stack guard is spent: the next overflow would
            // end the process unseen. The run resumes in a fresh process.
            // So is the address space when faults leave guarded blocks
            // behind (each holds 64 KiB of it).
            if (t_dwFaultCode == EXCEPTION_STACK_OVERFLOW || GuardedBlocksAlive() > c_cLeftBlocks) {
                std::printf("restart after input %llu; resume with --start %llu\n",
                            static_cast<unsigned long long>(uIndex),
                            static_cast<unsigned long long>(uIndex + 1));
                PrintSummary(dwHandlesFirst, vmtest::OpenHandleCount());
                return 1;
            }
        }
        ++s_state.m_uInputs;
        if (n + 1 == uWarmup || (uWarmup == 0 && n == 0))
            dwHandlesFirst = vmtest::OpenHandleCount();
        if ((n + 1) % uReport == 0) {
            NoteChildren();
            dwHandlesLast = vmtest::OpenHandleCount();
            PrintSummary(dwHandlesFirst, dwHandlesLast);
        }
    }
    NoteChildren();
    dwHandlesLast = vmtest::OpenHandleCount();
    PrintSummary(dwHandlesFirst, dwHandlesLast);
    bool bHandlesFlat = dwHandlesLast <= dwHandlesFirst + c_dwHandleSlack;
    if (!bHandlesFlat)
        std::printf("handle growth: %lu -> %lu\n", dwHandlesFirst, dwHandlesLast);
    return s_state.m_cFaults == 0 && s_state.m_cHangs == 0 && bHandlesFlat ? 0 : 1;
}

} // namespace

int main(int a_argc, char** a_argv)
{
    Options options;
    const Target* pTarget = nullptr;
    if (!ParseOptions(a_argc, a_argv, options) || !(pTarget = FindTarget(options.m_strTarget))) {
        std::printf("usage: vmfuzz TARGET [--count N] [--start I] [--seed S] [--out DIR]\n"
                    "       vmfuzz TARGET --replay FILE\ntargets: %s\n",
                    TargetNames().c_str());
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    AddVectoredExceptionHandler(1, OnException);
    // Declared a capture, so that the hook formats its texts: a fault there
    // is a finding too.
    vm::DeclareTraceCapture(true);
    s_state.m_pTarget = pTarget;
    s_state.m_strOut = options.m_strOut.empty() ? DefaultOutDir() : options.m_strOut;
    CreateDirectoryA(s_state.m_strOut.c_str(), nullptr);
    if (!SelfCheck())
        return 2;

    Corpus corpus;
    if (!pTarget->m_pfnPrepare(corpus)) {
        std::printf("%s: cannot prepare the target (scratch registry or hook object)\n",
                    pTarget->m_szName);
        return 2;
    }
    std::printf("%s: %zu seeds, %zu words, code page %u\n", pTarget->m_szName,
                corpus.m_seeds.size(), corpus.m_dictionary.size(), GetACP());
    int nResult = options.m_strReplay.empty() ? Fuzz(*pTarget, corpus, options)
                                              : Replay(*pTarget, options.m_strReplay);
    pTarget->m_pfnFinish();
    return nResult;
}
