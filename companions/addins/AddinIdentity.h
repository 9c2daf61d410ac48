#pragma once
// Who one add-in module is: the Office application that loads it, the ProgID
// under which Office lists it (the hook's upkeep looks for exactly these), and
// its class id. One module is built per row, chosen by QUORIX_ADDIN_INDEX.

#include <windows.h>

struct CAddinIdentity {
    const char* m_szApplication; // the word after "Office\" in the add-in keys
    const char* m_szProgId;
    const char* m_szClsid;       // registry form, braces included
    CLSID m_clsid;
    const char* m_szFriendlyName;
    const char* m_szDescription;
};

#if QUORIX_ADDIN_INDEX == 1
inline const CAddinIdentity c_addin = {
    "Word", "Quorix01.Word9AddIn", "{17955A3D-FB09-4F95-826F-25D7DC6A230F}",
    {0x17955a3d, 0xfb09, 0x4f95, {0x82, 0x6f, 0x25, 0xd7, 0xdc, 0x6a, 0x23, 0x0f}},
    "Quorix Word Add-in", "Enforces document rights inside Word"};
#elif QUORIX_ADDIN_INDEX == 2
inline const CAddinIdentity c_addin = {
    "PowerPoint", "Quorix02.CPpt9AddIn", "{1553A4A2-730C-4B6A-ABA9-4054E859C08B}",
    {0x1553a4a2, 0x730c, 0x4b6a, {0xab, 0xa9, 0x40, 0x54, 0xe8, 0x59, 0xc0, 0x8b}},
    "Quorix PowerPoint Add-in", "Enforces document rights inside PowerPoint"};
#elif QUORIX_ADDIN_INDEX == 3
inline const CAddinIdentity c_addin = {
    "Excel", "Quorix03.ExcelAddIn", "{A2FC1BE6-6900-491C-B929-209597E3061A}",
    {0xa2fc1be6, 0x6900, 0x491c, {0xb9, 0x29, 0x20, 0x95, 0x97, 0xe3, 0x06, 0x1a}},
    "Quorix Excel Add-in", "Enforces document rights inside Excel"};
#else
#error QUORIX_ADDIN_INDEX must be 1, 2 or 3
#endif
