#pragma once
// An ordinary open of a document through the shell host, with the hook listed
// and without: the host offers the request to the listed hooks and, none
// taking it, the shell opens the document with its application (here this
// program, which ends at once when started with --exit).

namespace vmbench {

// Each open in a host process of its own (shellexec.exe), timed from the
// process's start to its end: the host loads the hook for one request.
void BenchHostProcesses(unsigned a_uRuns);

// Many opens in one host process that keeps what it loaded, as Explorer does.
void BenchHostRequests(unsigned a_uRuns);

} // namespace vmbench
