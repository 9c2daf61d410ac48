#pragma once
// The hook's controlled starts: an application started directly, the image
// viewer of its exception rule, the launcher started for a request and its
// answer awaited. Each goes to the sink it is given, which starts it or, in
// a dry run, says what it would start. The platform's part of a start is
// common/ProcessStart.h.

#include "request/PolicySource.h"
#include "request/RequestState.h"
#include "request/ViewerPlan.h"
#include "start/StartSink.h"

#include <windows.h>

#include <string>

namespace start {

// The tag of the lines about a request's direct start.
constexpr char c_szRunApplication[] = "[CLxShellExt::RunApplication]";

// Records a start that failed or was refused: the request's answer, the
// verdict's cause, the always-on line and the sink's record (its event).
// a_strRequestText: the request's own text at fault, if any.
void RefuseStart(CRequestState& a_request, CStartSink& a_sink, const char* a_szTag, const char* a_szCause,
                 int a_nCode, const std::string& a_strCommand,
                 const std::wstring& a_strRequestText = std::wstring());

// Starts the request's application with the document, by the final path of
// the program judged; a_strCommand is the command as traced.
void StartApplicationDirectly(CRequestState& a_request, CStartSink& a_sink, const std::string& a_strCommand);

// The viewer of the image viewer's rule, started with the document as one
// argument. 0 when it started, else the shell's SE_ERR_* code.
int StartImageViewer(const ImageViewerPlan& a_plan, CStartSink& a_sink);

// Starts the launcher with the application's command and the plug-in; a
// request text that would move the launcher's arguments, a document that
// is its own program, an unusable working directory or a program that may
// not receive the plug-in (by a_source's policy) is refused instead. A
// started launcher's process is kept in m_hLauncher.
bool RunLauncher(CRequestState& a_request, CStartSink& a_sink, const PolicySource& a_source);

// Waits for the launcher's answer, at most the launcher's own plug-in load
// timeout and a margin, and turns it into the request's hInstApp: 44 when
// the application runs with the plug-in, or when the launcher has not
// answered by then; the nearest SE_ERR_* code of its refusal otherwise.
// A started launcher's controlled start is recorded in the audit trail when
// it answers that the application runs.
int AwaitLauncherVerdict(HANDLE a_hLauncher, const ControlledStart& a_start);

} // namespace start
