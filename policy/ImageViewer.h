#pragma once
// Starting the image viewer for the shimgvw.dll exception rule.

#include <string>

// Starts the viewer command a_strAppPath for a_strRealDocument (whose ANSI
// form a_strDocument the traces show) and keeps nothing
// of the started process. The program is the quoted first word, else the
// longest blank-separated prefix of the command that names an existing file
// by its full path, else a bare program name from the system or Windows
// directory; nothing is run from the current directory. The document is
// passed as one argument. Variables of the command are expanded only when
// a_bExpand says it came from the registry. 0 when a process was started,
// else the shell's SE_ERR_* code, with the line that names the cause.
int StartImageViewer(const std::string& a_strAppPath, const std::string& a_strDocument,
                     const std::wstring& a_strRealDocument, bool a_bExpand);

// The program a_strCommand would start, found as above; empty when none is.
std::string FindImageViewerProgram(const std::string& a_strCommand);
