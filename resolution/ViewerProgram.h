#pragma once
// The program a viewer command of the registry starts.

#include <cstddef>
#include <string>

// The name under which an association chooses the image viewer: a module,
// not a program; its exception rule starts the viewer itself.
constexpr char c_szImageViewerName[] = "shimgvw.dll";

struct ViewerProgram {
    std::string m_strProgram; // empty: none found
    size_t m_cchWord = 0;     // the command's text that names the program, when unquoted
    bool m_bFromPrefix = false;
};

// The program is the quoted first word (".exe" added when it names no
// extension, as the process creation does it), else the longest
// blank-separated prefix of the command that names an existing file by its
// full path, else a bare program name found where the platform finds it
// (vm::FindBareProgram); nothing is taken from the current directory.
ViewerProgram FindViewerProgram(const std::string& a_strCommand);
