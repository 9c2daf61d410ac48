#pragma once
// Which executable opens the requested document: the product's
// per-extension control table, then the shell's associations. Each operation
// writes what it found into the request's state.

#include "request/RequestState.h"

namespace resolution {

// Extension control table.
bool GetExtensionControlType(CRequestState& a_request);
// The control table controls this request: by its ControlType, the
// operation and whether the document is encrypted.
bool IsControlledRequest(const CRequestState& a_request);
bool GetExtControlApplicationPath(CRequestState& a_request);

// The key name of the verb whose own command the request asks for; null
// when it takes the default order (open, else edit, else Read) or when its
// verb cannot name a key.
const char* RequestedVerbKey(const CRequestState& a_request);
// The verb key (a class key's "shell\print", a ProgID's
// "Word.Document.8\shell\print") has a command.
bool HasVerbCommand(HKEY a_hRoot, const std::string& a_strVerbKey);

// Association resolver. a_bMayWrite: a lost DDE server name of the drawing
// program's association may be put back.
bool GetApplicationPathFromReg(CRequestState& a_request, bool a_bControl, bool a_bMayWrite);
// The application of a registry command: the long path and file name of the
// program the platform starts for it, and the command's arguments beside the
// document. False when the command names no existing program; the fields
// then hold what the text itself reads as.
bool SetApplicationFromCommand(CRequestState& a_request, const char* a_szCommand);

} // namespace resolution
