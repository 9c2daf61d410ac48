// The program the tests start wherever they need one, copied under the names
// their cases need. Its first argument may ask for one thing:
//   record ... FILE          writes its command line to FILE
//   wait EVENT PARENT [DLL]  loads the DLL (when named), signals the inherited
//                            event and lives until its parent ends (two
//                            minutes at most)
//   debug                    writes two debugger texts, one with a line feed
//   use DLL                  loads the plug-in DLL and ends with what its
//                            VmPluginServes answers (1 serves, 0 refuses; 2
//                            no load, 3 no such export)
//   use-masked DLL           the same after rewriting its own records of its
//                            image (the loader list's first entry and the
//                            process parameters) to C:\windows\notepad.exe,
//                            as code of the user's own can
// Started any other way - as an application, or in the launcher's place - it
// writes down how it was started (its command line, the arguments the C
// runtime made of it, and which vmplugin.dll is inside) into the file that
// VM_PROBE_RECORD names, in one step so that the waiting test never reads half
// a record. A test that needs an instance already running has it stay
// VM_PROBE_HOLD milliseconds after recording, and ends it itself. In the
// launcher's place it answers as one that started the application, or ends
// with the code VM_PROBE_EXIT gives, or crashes when that reads "crash".

#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int WriteCommandLine(const char* a_szFile)
{
    FILE* pFile = std::fopen(a_szFile, "wb");
    if (!pFile)
        return 3;
    std::fputs(GetCommandLineA(), pFile);
    std::fclose(pFile);
    return 0;
}

int WaitForParent(int a_argc, char** a_argv)
{
    HANDLE hReady = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(a_argv[2], nullptr, 10)));
    DWORD dwParent = std::strtoul(a_argv[3], nullptr, 10);
    if (a_argc >= 5 && a_argv[4][0] && !LoadLibraryA(a_argv[4]))
        return 2;
    HANDLE hParent = OpenProcess(SYNCHRONIZE, FALSE, dwParent);
    SetEvent(hReady);
    WaitForSingleObject(hParent ? hParent : GetCurrentProcess(), 120000);
    return 0;
}

std::string ModulePath(const char* a_szModule)
{
    char szPath[MAX_PATH] = {};
    HMODULE hModule = a_szModule ? GetModuleHandleA(a_szModule) : nullptr;
    if (!a_szModule || hModule)
        GetModuleFileNameA(hModule, szPath, MAX_PATH);
    return szPath;
}

// Standing in for the launcher, it answers as one that started the
// application, recording or not.
int RecordStart(int a_argc, char** a_argv)
{
    const char* szRecord = std::getenv("VM_PROBE_RECORD");
    if (!szRecord || !*szRecord)
        return 0;
    char szDir[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, szDir);
    std::string strArgv;
    for (int i = 0; i < a_argc; ++i)
        strArgv += (i ? "|" : "") + std::string(a_argv[i]);
    // wcmdline: the wide command line in UTF-8, a name beyond the ANSI code
    // page as it came; deppath: the module a plug-in imports, which copy of it
    // was loaded.
    const wchar_t* szWide = GetCommandLineW();
    std::string strWide(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, szWide, -1, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, szWide, -1, &strWide[0], static_cast<int>(strWide.size()), nullptr, nullptr);
    strWide.resize(strWide.empty() ? 0 : strWide.size() - 1);
    // stdinsection: whether the standard input is a section that maps, as a
    // policy handed to the launcher is; an application never gets one.
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    void* pvInput = hInput && hInput != INVALID_HANDLE_VALUE ? MapViewOfFile(hInput, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (pvInput)
        UnmapViewOfFile(pvInput);
    std::string strRecord = std::string("cmdline=") + GetCommandLineA() + "\ncwd=" + szDir +
                            "\nstdinsection=" + (pvInput ? "1" : "0") +
                            "\nplugin=" + (GetModuleHandleA("vmplugin.dll") ? "1" : "0") +
                            "\npluginpath=" + ModulePath("vmplugin.dll") + "\nexe=" + ModulePath(nullptr) +
                            "\nargv=" + strArgv + "\ndeppath=" + ModulePath("vmdep.dll") + "\nwcmdline=" + strWide + "\n";
    std::string strTemp = std::string(szRecord) + ".tmp";
    FILE* pFile = std::fopen(strTemp.c_str(), "wb");
    if (!pFile)
        return 2;
    std::fwrite(strRecord.data(), 1, strRecord.size(), pFile);
    std::fclose(pFile);
    if (!MoveFileExA(strTemp.c_str(), szRecord, MOVEFILE_REPLACE_EXISTING))
        return 3;
    if (const char* szHold = std::getenv("VM_PROBE_HOLD"))
        Sleep(std::strtoul(szHold, nullptr, 10));
    return 0;
}

int UsePlugin(const char* a_szDll)
{
    HMODULE hPlugin = LoadLibraryA(a_szDll);
    if (!hPlugin)
        return 2;
    using ServesFn = int (*)();
    auto pfnServes = reinterpret_cast<ServesFn>(reinterpret_cast<void*>(GetProcAddress(hPlugin, "VmPluginServes")));
    return pfnServes ? pfnServes() : 3;
}

// Lives as long as the process: the records point at it.
wchar_t g_szMask[] = L"C:\\windows\\notepad.exe";

void MaskImageName()
{
    using QueryFn = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto pfnQuery = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION info{};
    if (!pfnQuery || pfnQuery(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), nullptr) != 0)
        return;
    auto mask = [](UNICODE_STRING& a_name) {
        a_name.Buffer = g_szMask;
        a_name.Length = static_cast<USHORT>(sizeof(g_szMask) - sizeof(wchar_t));
        a_name.MaximumLength = static_cast<USHORT>(sizeof(g_szMask));
    };
    mask(info.PebBaseAddress->ProcessParameters->ImagePathName);
    // Windows lists the program first; Wine may list ntdll before it.
    LIST_ENTRY* pList = &info.PebBaseAddress->Ldr->InMemoryOrderModuleList;
    for (LIST_ENTRY* pEntry = pList->Flink; pEntry != pList; pEntry = pEntry->Flink) {
        auto* pModule = CONTAINING_RECORD(pEntry, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        if (pModule->DllBase == GetModuleHandleW(nullptr))
            mask(pModule->FullDllName);
    }
}

LONG WINAPI EndWithTheExceptionCode(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

int ExitAsAsked()
{
    const char* szExit = std::getenv("VM_PROBE_EXIT");
    if (!szExit || !*szExit)
        return 0;
    if (std::strcmp(szExit, "crash") == 0) {
        // The process ends with the exception's code, as an unhandled fault
        // ends it, without a debugger being asked.
        SetErrorMode(SEM_NOGPFAULTERRORBOX);
        SetUnhandledExceptionFilter(EndWithTheExceptionCode);
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    return static_cast<int>(std::strtoul(szExit, nullptr, 0));
}

} // namespace

int main(int a_argc, char** a_argv)
{
    const char* szMode = a_argc >= 2 ? a_argv[1] : "";
    if (a_argc >= 3 && std::strcmp(szMode, "record") == 0)
        return WriteCommandLine(a_argv[a_argc - 1]);
    if (a_argc >= 4 && std::strcmp(szMode, "wait") == 0)
        return WaitForParent(a_argc, a_argv);
    if (a_argc == 3 && std::strcmp(szMode, "use") == 0)
        return UsePlugin(a_argv[2]);
    if (a_argc == 3 && std::strcmp(szMode, "use-masked") == 0) {
        MaskImageName();
        return UsePlugin(a_argv[2]);
    }
    if (a_argc == 2 && std::strcmp(szMode, "debug") == 0) {
        OutputDebugStringA("probe: one\n");
        OutputDebugStringA("probe: two");
        return 0;
    }
    if (int nFailed = RecordStart(a_argc, a_argv))
        return nFailed;
    return ExitAsAsked();
}
