// vmbench: the hook's time per request class next to "the floor" (the
// platform calls that a request of the class must make, replayed directly in
// this process), alternating one with the other; then, with --host N, an
// ordinary open through the shell host with and without the hook: in a host
// process of its own, and among many opens in one host process.
//
//   vmbench [--iterations N] [--host N] [--profile CLASS N] [--compare DLL]
//
// --compare times each request class through this hook and through another
// build of it (DLL, beside this program so that it finds the same cipher.dll
// and policy file), alternating, with nobody listening to the debug texts.
//
// --profile offers N requests of one class and nothing else, for a profiler
// or a relay trace to look at.
//
// Figures are ratios from one run: the machines are shared and noisy.

#include "bench/Floor.h"
#include "bench/HostBench.h"
#include "bench/Timing.h"

#include "common/Handle.h"
#include "module/Guids.h"
#include "tests/support/DebugCapture.h"
#include "tests/soak/RequestMix.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vmbench::Figures;
using vmbench::Summarise;

void BenchClasses(unsigned a_uIterations)
{
    vmtest::CRequestMix mix("bench");
    if (!mix.Ready()) {
        std::printf("cannot create the hook object\n");
        return;
    }
    // A policy file written moments ago is read afresh on every request
    // until it has settled; requests measured here see a settled one.
    Sleep(2500);
    // "wide": the same request through the wide interface; a request the
    // ANSI code page holds must cost about what the ANSI one does.
    std::printf("%-24s %10s %10s %10s %10s %7s %10s %6s\n", "request class", "hook med", "hook p95",
                "floor med", "floor p95", "ratio", "wide med", "w/a");
    for (int nClass = 0; nClass < vmtest::c_cRequestClasses; ++nClass) {
        // The floor writes the texts that the hook writes for the class.
        std::vector<std::string> traces;
        {
            vmtest::DebugCapture capture;
            mix.Offer(nClass);
            traces = capture.Texts();
        }
        vmbench::CFloor floor(mix, nClass, traces);
        for (int i = 0; i < 10; ++i) {
            mix.Offer(nClass);
            floor.Replay();
        }
        if (!(mix.Offer(nClass) == mix.OfferWide(nClass)))
            std::printf("%-24s wide answer differs\n", vmtest::RequestClassName(nClass));
        std::vector<double> hook, replay, wide;
        for (unsigned i = 0; i < a_uIterations; ++i) {
            hook.push_back(vmbench::Microseconds([&] { mix.Offer(nClass); }));
            replay.push_back(vmbench::Microseconds([&] { floor.Replay(); }));
            wide.push_back(vmbench::Microseconds([&] { mix.OfferWide(nClass); }));
        }
        Figures h = Summarise(hook), f = Summarise(replay), w = Summarise(wide);
        std::printf("%-24s %8.0fus %8.0fus %8.0fus %8.0fus %7.2f %8.0fus %6.2f\n", vmtest::RequestClassName(nClass),
                    h.m_dMedian, h.m_dP95, f.m_dMedian, f.m_dP95, h.m_dMedian / f.m_dMedian, w.m_dMedian,
                    w.m_dMedian / h.m_dMedian);
    }
}

// A hook object of another build of the module, created through its own
// class object; null when it cannot be had.
IShellExecuteHookA* CreateOtherHook(const vm::UniqueLibrary& a_module)
{
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto pfnGet = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(a_module.get(), "DllGetClassObject")));
    IClassFactory* pFactory = nullptr;
    if (!pfnGet || FAILED(pfnGet(CLSID_DocHook, IID_IClassFactory, reinterpret_cast<void**>(&pFactory))))
        return nullptr;
    IShellExecuteHookA* pHook = nullptr;
    if (FAILED(pFactory->CreateInstance(nullptr, IID_IShellExecuteHookA, reinterpret_cast<void**>(&pHook))))
        pHook = nullptr;
    pFactory->Release();
    return pHook;
}

void CompareHooks(const char* a_szOtherDll, unsigned a_uIterations)
{
    vmtest::CRequestMix mix("bench");
    vm::UniqueLibrary hOther(LoadLibraryExA(a_szOtherDll, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    IShellExecuteHookA* pOther = hOther ? CreateOtherHook(hOther) : nullptr;
    if (!mix.Ready() || !pOther) {
        std::printf("cannot create both hook objects (%s)\n", a_szOtherDll);
        return;
    }
    Sleep(2500);
    std::printf("%-24s %10s %10s %10s %10s %7s %6s\n", "request class", "this med", "this p95", "other med",
                "other p95", "ratio", "texts");
    for (int nClass = 0; nClass < vmtest::c_cRequestClasses; ++nClass) {
        size_t cTexts = 0;
        {
            vmtest::DebugCapture capture;
            if (!(mix.Offer(nClass) == mix.OfferTo(pOther, nClass)))
                std::printf("%-24s answers differ\n", vmtest::RequestClassName(nClass));
            cTexts = capture.Texts().size() / 2;
        }
        std::vector<double> mine, other;
        for (unsigned i = 0; i < a_uIterations; ++i) {
            mine.push_back(vmbench::Microseconds([&] { mix.Offer(nClass); }));
            other.push_back(vmbench::Microseconds([&] { mix.OfferTo(pOther, nClass); }));
        }
        Figures m = Summarise(mine), o = Summarise(other);
        std::printf("%-24s %8.0fus %8.0fus %8.0fus %8.0fus %7.2f %6zu\n", vmtest::RequestClassName(nClass),
                    m.m_dMedian, m.m_dP95, o.m_dMedian, o.m_dP95, m.m_dMedian / o.m_dMedian, cTexts);
    }
    pOther->Release();
}

void Profile(int a_nClass, unsigned a_uCount)
{
    vmtest::CRequestMix mix("bench");
    if (!mix.Ready() || a_nClass < 0 || a_nClass >= vmtest::c_cRequestClasses)
        return;
    Sleep(2500);
    for (int i = 0; i < 3; ++i)
        mix.Offer(a_nClass);
    OutputDebugStringA("vmbench: profile starts");
    std::vector<double> hook;
    for (unsigned i = 0; i < a_uCount; ++i)
        hook.push_back(vmbench::Microseconds([&] { mix.Offer(a_nClass); }));
    OutputDebugStringA("vmbench: profile ends");
    Figures h = Summarise(hook);
    std::printf("%s: median %.0fus, p95 %.0fus\n", vmtest::RequestClassName(a_nClass), h.m_dMedian,
                h.m_dP95);
}

} // namespace

int main(int a_argc, char** a_argv)
{
    // The application the host opens the benchmark's document with.
    if (a_argc > 1 && std::strcmp(a_argv[1], "--exit") == 0)
        return 0;
    unsigned uIterations = 200;
    unsigned uHostRuns = 0;
    int nProfileClass = -1;
    unsigned uProfileCount = 0;
    const char* szCompare = nullptr;
    for (int i = 1; i + 1 < a_argc; i += 2) {
        if (std::strcmp(a_argv[i], "--iterations") == 0)
            uIterations = static_cast<unsigned>(std::strtoul(a_argv[i + 1], nullptr, 10));
        else if (std::strcmp(a_argv[i], "--host") == 0)
            uHostRuns = static_cast<unsigned>(std::strtoul(a_argv[i + 1], nullptr, 10));
        else if (std::strcmp(a_argv[i], "--profile") == 0 && i + 2 < a_argc) {
            nProfileClass = std::atoi(a_argv[i + 1]);
            uProfileCount = static_cast<unsigned>(std::strtoul(a_argv[i + 2], nullptr, 10));
            ++i;
        } else if (std::strcmp(a_argv[i], "--compare") == 0)
            szCompare = a_argv[i + 1];
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (szCompare) {
        CompareHooks(szCompare, uIterations);
        return 0;
    }
    if (uProfileCount) {
        Profile(nProfileClass, uProfileCount);
        return 0;
    }
    if (uIterations)
        BenchClasses(uIterations);
    if (uHostRuns) {
        vmbench::BenchHostProcesses(uHostRuns);
        vmbench::BenchHostRequests(uHostRuns * 5);
    }
    return 0;
}
