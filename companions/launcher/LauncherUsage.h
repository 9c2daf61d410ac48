#pragma once
// vormidmgr.exe --help | --version: what an administrator who finds the
// launcher in the product folder may ask of it. The hook never starts it so:
// its lines always hold the "/D:" mark.

#include <string>

namespace vmlaunch {

// True when a_strArguments (the text after the launcher's own path) is
// exactly "--help" or "--version", which are then answered on standard
// output (or the console of the program that started the launcher).
bool AnswerUsageRequest(const std::wstring& a_strArguments);

} // namespace vmlaunch
