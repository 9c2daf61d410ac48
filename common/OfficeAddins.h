#pragma once
// The product's Office add-ins, one row per Office application. The hook's
// upkeep keeps them registered and hands Office programs to them, each add-in
// module takes its own identity from its row, and vmcheck checks what the rows
// name. A ProgID or a class id here is the one Office and COM see.

#include <windows.h>

#include <string>

namespace vm {

struct COfficeAddin {
    const char* m_szApplication;  // the word after "Office\" in the add-in keys
    const char* m_szProgram;      // the application's program file, as a request names it
    WORD m_wFirstOfficeVersion;   // the first major version that enforces through the add-in
    const char* m_szProgId;       // the name under which Office lists the add-in
    const char* m_szModule;       // the add-in's file, installed beside the hook
    const char* m_szClsid;        // registry form, braces included
    CLSID m_clsid;
    const char* m_szFriendlyName;
    const char* m_szDescription;
};

inline constexpr COfficeAddin c_officeAddins[] = {
    {"Word", "WINWORD.EXE", 9, "Quorix01.Word9AddIn", "quorix01.dll", "{17955A3D-FB09-4F95-826F-25D7DC6A230F}",
     {0x17955a3d, 0xfb09, 0x4f95, {0x82, 0x6f, 0x25, 0xd7, 0xdc, 0x6a, 0x23, 0x0f}},
     "Quorix Word Add-in", "Enforces document rights inside Word"},
    {"PowerPoint", "POWERPNT.EXE", 9, "Quorix02.CPpt9AddIn", "quorix02.dll",
     "{1553A4A2-730C-4B6A-ABA9-4054E859C08B}",
     {0x1553a4a2, 0x730c, 0x4b6a, {0xab, 0xa9, 0x40, 0x54, 0xe8, 0x59, 0xc0, 0x8b}},
     "Quorix PowerPoint Add-in", "Enforces document rights inside PowerPoint"},
    {"Excel", "EXCEL.EXE", 9, "Quorix03.ExcelAddIn", "quorix03.dll", "{A2FC1BE6-6900-491C-B929-209597E3061A}",
     {0xa2fc1be6, 0x6900, 0x491c, {0xb9, 0x29, 0x20, 0x95, 0x97, 0xe3, 0x06, 0x1a}},
     "Quorix Excel Add-in", "Enforces document rights inside Excel"},
};

// Office's LoadBehavior "load at start-up": what an add-in's registration
// writes, and what the upkeep and vmcheck take for a working add-in.
constexpr DWORD c_dwAddinLoadAtStartup = 3;

// The add-in's entry below HKEY_CURRENT_USER, where Office looks for the
// add-ins of an application and reads their LoadBehavior.
inline std::string OfficeAddinKey(const COfficeAddin& a_addin)
{
    return std::string("Software\\Microsoft\\Office\\") + a_addin.m_szApplication + "\\Addins\\" +
           a_addin.m_szProgId;
}

} // namespace vm
