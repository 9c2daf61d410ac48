#pragma once
// Where the machine records the installed product, and what the platform
// says of the running images. The launcher and the plug-in serve only as the
// installed product: their own file, as the system mapped it, must lie in
// the folder of the module that HKLM registers for the hook's class, in the
// build's own registry view (only administrators write there), and that
// folder must be one that only administrators change. A copy anywhere else,
// with a policy of its own beside it, refuses.

#include <string>

namespace vm {

// The hook's class, as its registration names it. It must equal the class id
// of the interface description (registration/vormidmgr.idl); the module
// tests compare the two.
#define VM_HOOK_CLASS_ID L"{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}"
constexpr wchar_t c_szHookClassId[] = VM_HOOK_CLASS_ID;
// Below HKLM, in the build's own view: the machine's classes only, never a
// user's (HKCR would merge HKCU's in first).
constexpr wchar_t c_szHookServerKey[] = L"Software\\Classes\\CLSID\\" VM_HOOK_CLASS_ID L"\\InprocServer32";

// The final path of the image the system mapped for this process, as the
// system records it (not the loader's list in the process's own memory,
// which the process can rewrite).
bool GetProcessImageFinalPath(std::wstring& a_strFinal);

// The final path of the file the system mapped for the module that holds
// a_pvAddress (a function of that module).
bool GetModuleImageFinalPath(const void* a_pvAddress, std::wstring& a_strFinal);

// The final path of the installed product's folder of this build: the
// folder of the hook module that HKLM registers for the hook's class (a
// REG_SZ full path of an existing file). False when none is registered.
bool GetInstalledFolder(std::wstring& a_strFolder);

// Null when a_strFinal, the final path of one of our files, is a file of
// the installed product: it lies directly in the installed folder, and it and
// that folder pass the administrators' rule of trusted programs (below the
// Windows or a Program Files folder, nothing on the way users may change).
// Else why not, in words for the debugger output. a_strFolder receives the
// installed folder when there is one.
const char* WhyNotInstalledFile(const std::wstring& a_strFinal, std::wstring& a_strFolder);

} // namespace vm
