#pragma once
// Where the two builds lie when installed side by side: the 32-bit build in
// the product folder, the x64 build in its "x64" subfolder.

#include <windows.h>

#include <string>

namespace vm {

constexpr char c_szX64Folder[] = "x64";

// The parent of a_strFolder (both with their trailing backslash) when the
// last folder name is "x64" in any letter case; empty otherwise. For ANSI
// and wide paths alike.
template <class String>
String ParentOfX64Folder(const String& a_strFolder)
{
    using Char = typename String::value_type;
    const size_t cchName = sizeof(c_szX64Folder) - 1;
    if (a_strFolder.size() < cchName + 2 || a_strFolder.back() != Char('\\'))
        return String();
    size_t iName = a_strFolder.size() - 1 - cchName;
    if (a_strFolder[iName - 1] != Char('\\'))
        return String();
    for (size_t i = 0; i < cchName; ++i) {
        Char ch = a_strFolder[iName + i];
        if (ch >= Char('A') && ch <= Char('Z'))
            ch = static_cast<Char>(ch - Char('A') + Char('a'));
        if (ch != static_cast<Char>(c_szX64Folder[i]))
            return String();
    }
    return a_strFolder.substr(0, iName);
}

// The folder of the one company policy file, seen from the folder of a
// cipher.dll or a plug-in (with its trailing backslash): the x64 build
// installed in the "x64" subfolder reads the product folder's file; anywhere
// else, and on the 32-bit build, it is that file's own folder.
template <class String>
String PolicyFolderOf(const String& a_strOwnFolder)
{
    if (sizeof(void*) != 8)
        return a_strOwnFolder;
    String strParent = ParentOfX64Folder(a_strOwnFolder);
    return strParent.empty() ? a_strOwnFolder : strParent;
}

inline std::string PolicyFolder(const std::string& a_strOwnFolder)
{
    return PolicyFolderOf(a_strOwnFolder);
}

inline std::wstring PolicyFolder(const std::wstring& a_strOwnFolder)
{
    return PolicyFolderOf(a_strOwnFolder);
}

} // namespace vm
