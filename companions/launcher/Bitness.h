#pragma once
// An enforcement plug-in loads only into an application of its own bitness,
// and the launcher can bring a plug-in only into a process of its own
// bitness. So each build has its own launcher and plug-ins: the 32-bit build
// in the product folder, the x64 build in its "x64" subfolder. A launcher
// that is asked to start an application of the other bitness hands the
// request to the other build's launcher.

#include <windows.h>

#include <string>

namespace vmlaunch {

// The Machine field of an executable's PE header (IMAGE_FILE_MACHINE_I386,
// IMAGE_FILE_MACHINE_AMD64, ...); 0 when the file is no PE image or cannot
// be read.
WORD ReadImageMachine(const std::wstring& a_strPath);

// The Machine value of this build's own images.
constexpr WORD c_wOwnMachine = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;

// True for the two machines the product is built for.
bool IsProductMachine(WORD a_wMachine);

// The other build's folder (with its trailing backslash), seen from this
// build's folder a_strOwnFolder (with its trailing backslash): its "x64"
// subfolder for the 32-bit build, the parent of an "x64" folder for the x64
// build; empty when the x64 build does not lie in a folder named "x64".
std::wstring GetOtherBuildFolder(const std::wstring& a_strOwnFolder);

// The file name of a_strPath, in a_strFolder.
std::wstring SameFileIn(const std::wstring& a_strFolder, const std::wstring& a_strPath);

} // namespace vmlaunch
