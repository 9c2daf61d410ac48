#pragma once
// The product's per-extension control table: a key per extension (its dot
// included) below HKLM\SOFTWARE\Korvane\Lumidex\FileExts, in each registry
// view, read afresh by that view's hook for every document request and
// written by administrators (vmcheck --control-table).

namespace vm {

constexpr char c_szControlTableKey[] = "SOFTWARE\\Korvane\\Lumidex\\FileExts";
constexpr char c_szControlTypeValue[] = "ControlType";  // REG_DWORD, read as 4 raw bytes
constexpr char c_szControlAppValue[] = "Application";   // the application's file name
constexpr unsigned long c_uHighestControlType = 4;

// When a document request for the extension counts as controlled. "Opened"
// is every document verb (open, print, edit, new, read); Open with is not.
inline const char* DescribeControlType(unsigned long a_uControlType)
{
    switch (a_uControlType) {
    case 0: return "never controlled";
    case 1: return "controlled when an encrypted document is opened";
    case 2: return "controlled when the document is encrypted";
    case 3: return "controlled when a document is opened, or when it is encrypted";
    case 4: return "always controlled";
    default: return "never controlled: not a known ControlType";
    }
}

} // namespace vm
