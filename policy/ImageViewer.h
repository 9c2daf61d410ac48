#pragma once
// Starting the image viewer for the shimgvw.dll exception rule.

#include <string>

// Starts a_strCommand as its command line, unchanged, and keeps nothing of
// the started process. The program is taken from a full path at the start of
// the command, or a bare program name from the system or Windows directory;
// anything else is not started, so nothing is run from the current directory.
// True when a process was started.
bool StartImageViewer(const std::string& a_strCommand);

// The program a_strCommand would start, found as above; empty when none is.
std::string FindImageViewerProgram(const std::string& a_strCommand);
