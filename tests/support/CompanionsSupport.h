#pragma once
// Helpers of the Office upkeep and companion tests: finding the probe
// program, waiting for what another process does, reading what it recorded.

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vmtest {

// The product installed in the prefix as the installer lays it out: the
// product folder a_strName below the machine's Program Files, this build's
// launcher, plug-in, cipher.dll and hook module in it (the x64 build's in its
// "x64" subfolder), and the hook's registration in HKLM, in this build's
// view, naming that hook module. At its end the registration found before is
// put back and the folder removed.
class CInstalledProduct {
public:
    explicit CInstalledProduct(const std::string& a_strName);
    ~CInstalledProduct();
    CInstalledProduct(const CInstalledProduct&) = delete;
    CInstalledProduct& operator=(const CInstalledProduct&) = delete;
    bool Ready() const { return m_bReady; }
    // The product folder, which holds the one company.ccf.
    const std::string& Product() const { return m_strProduct; }
    // This build's folder: the product folder, or its "x64" subfolder.
    const std::string& Build() const { return m_strBuild; }

private:
    std::string m_strProduct;
    std::string m_strBuild;
    bool m_bHadClass = false;
    bool m_bHadServer = false;
    std::string m_strOldServer;
    bool m_bReady = false;
};

// A Unix path handed over in the environment by the build, as a Windows path
// (Wine shows the Unix root as drive Z:); empty when the variable is unset.
std::string WindowsPathFromEnv(const char* a_szVariable);

// The probe program: records its command line, current directory and whether
// vmplugin.dll is loaded into the file named by VM_PROBE_RECORD.
std::string ProbeExe();
constexpr char c_szProbeRecordVariable[] = "VM_PROBE_RECORD";
// Milliseconds the probe stays running after recording.
constexpr char c_szProbeHoldVariable[] = "VM_PROBE_HOLD";

// Polls until a_isDone answers true or the time is up; the last answer.
bool WaitUntil(const std::function<bool()>& a_isDone, DWORD a_dwTimeoutMs);

// The probe's record as name=value lines; empty when there is none.
std::map<std::string, std::string> ReadProbeRecord(const std::string& a_strPath);

// The probe's record once it reads, waited for at most a_dwTimeoutMs, and
// then removed for the next start; empty when none came. Right after the
// probe's rename Wine can still hold the record open with delete access, and
// a reader that does not share delete then fails: the record is there once
// it reads, not once it exists.
std::string TakeProbeRecord(const std::string& a_strPath, DWORD a_dwTimeoutMs);

// Number of running processes whose executable file name is a_strExeName.
int CountProcesses(const std::string& a_strExeName);

// Ends every running process whose executable file name is a_strExeName, so
// that one test's leftover cannot spoil the next; the number ended.
int TerminateProcesses(const std::string& a_strExeName);

} // namespace vmtest
