#pragma once
// The hook's controlled starts: an application started directly, the image
// viewer of its exception rule, the launcher started for a request and its
// answer awaited. They share the dry run and the line and the event of a
// start that did not happen. The platform's part of a start is
// common/ProcessStart.h.

#include "common/Handle.h"
#include "common/ProcessStart.h"

#include <windows.h>

#include <string>

// A controlled start through the launcher, for the audit trail.
struct ControlledStart {
    std::wstring m_strDocument;
    std::wstring m_strApplication;
    std::wstring m_strPlugin;
};

// Waits for the launcher's answer, at most the launcher's own plug-in load
// timeout and a margin, and turns it into the request's hInstApp: 44 when
// the application runs with the plug-in, or when the launcher has not
// answered by then; the nearest SE_ERR_* code of its refusal otherwise.
// A started launcher's controlled start is recorded in the audit trail when
// it answers that the application runs.
int AwaitLauncherVerdict(HANDLE a_hLauncher, const ControlledStart& a_start);

