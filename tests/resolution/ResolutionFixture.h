#pragma once
// Known registry state and requests for the application-resolution tests.

#include "decision/LxShellExt.h"

#include "tests/support/DebugCapture.h"
#include "tests/support/RegistryRedirect.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace vmtest {

// HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT of this process
// redirected to three fresh scratch keys below the real HKCU; everything is
// restored and removed when the object goes.
class ScratchRegistry {
public:
    explicit ScratchRegistry(const std::string& a_strName);
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    // The default value of a key, or "<missing>".
    static std::string ReadString(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue);

private:
    RegistryRedirect m_redirect;
};

// Turns the switchable trace on (and the line trace when asked) for a test
// and restores both afterwards.
class TraceSwitches {
public:
    explicit TraceSwitches(bool a_bLine = false);
    ~TraceSwitches();

private:
    bool m_bTrace;
    bool m_bLine;
};

// A shell request in place on a decision object, as the dispatcher leaves it
// before the resolution steps run.
struct ResolutionRequest {
    explicit ResolutionRequest(CLxShellExt& a_ext, const std::string& a_strFile, UINT a_uOperation = OPERATION_OPEN_DOCUMENT,
                               HKEY a_hClassKey = nullptr);
    ~ResolutionRequest();

    CLxShellExt& m_ext;
    std::string m_strFile;
    SHELLEXECUTEINFOA m_sei{};
};

// Short form of an existing path, as the platform gives it.
std::string ShortPath(const std::string& a_strPath);
std::string LongPath(const std::string& a_strPath);
std::string WindowsDir();
std::string SystemDir();

DWORD HandleCount();

// The trace texts that begin with a_strPrefix, in order.
std::vector<std::string> TextsStartingWith(const DebugCapture& a_capture, const std::string& a_strPrefix);

} // namespace vmtest
