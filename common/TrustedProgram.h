#pragma once
// The one rule that decides whether a program may receive an enforcement
// plug-in. The plug-in decrypts protected content inside whatever program it
// is loaded into, so the hook (before it starts the launcher) and the
// launcher (on the process it created, before the plug-in is loaded) both
// ask this, and nothing else:
//  - the company policy maps the program's file name to the plug-in's file
//    name (the field named like the program, whose value names the plug-in);
//  - the program's image lies below a folder that only administrators
//    change: the Windows folder, the Program Files folders of both registry
//    views, or a folder of the policy field "TrustedFolders" (full paths
//    separated by ";") that is fit to trust, but never below the users'
//    profiles or a folder of the Windows folder that every user may write to
//    (its Temp, for one), and nothing on the way below the trusted folder
//    that the user may change, where the platform's ACLs tell;
//  - where the policy field "TrustedPublishers" lists certificate
//    thumbprints, the program carries a valid signature by one of them
//    (TrustedPublisher.h).
// Both are judged on the program's final path, as the platform reports it
// for the file itself, never on the text that named it.

#include "common/Handle.h"

#include <functional>
#include <string>
#include <vector>

namespace vm {

constexpr char c_szTrustedFoldersField[] = "TrustedFolders";

enum class ProgramTrust {
    Trusted,
    NoImage,        // the program cannot be opened to learn its final path
    NoPolicy,       // the policy file is missing or unusable
    NotRegistered,  // the policy names no plug-in for the program's file name
    OtherPlugin,    // the policy names another plug-in for it
    OutsideFolders, // the program lies outside every trusted folder
    UntrustedPublisher, // the policy lists publishers, and none of them signed the program
    BatchFile,      // a batch file: the command interpreter would run in its place
};

// The reason in words, for traces and refusals.
const char* DescribeProgramTrust(ProgramTrust a_trust);

// A policy field by name: its value, or null when the field is absent. Null
// reader: no usable policy.
using PolicyFieldReader = std::function<const char*(const char*)>;

ProgramTrust CheckProgramForPlugin(const std::wstring& a_strProgram, const std::wstring& a_strPlugin,
                                   const PolicyFieldReader& a_readField);

// The rule of trusted programs without the policy's folders, for the
// product's own files: null when a_strFinal (a final path) lies below the
// Windows folder or a Program Files folder, outside their user-writable
// folders, with nothing between them and it (it included) that users may
// change, where the platform's ACLs tell; else why not.
const char* WhyNotAdministratorsFile(const std::wstring& a_strFinal);

// The final paths of the folders a trusted program may lie in. Entries of
// a_szTrustedFolders (may be null) that are not full paths of existing
// folders, or that are unfit (below), are left out.
std::vector<std::wstring> GetTrustedProgramFolders(const char* a_szTrustedFolders);

// Why a "TrustedFolders" entry, by its folder's final path, cannot make its
// programs trusted, because users may place programs there or re-point it:
// a drive's root, a letter that is no fixed local volume, ProgramData, the
// users' profiles, a temporary folder, a folder of the Windows folder that
// users may write to, or anything below one of those; or, where the
// platform's ACLs tell, a folder the caller as a standard user may change.
// Null when it is fit.
// The trust rule, the policy lint and vmcheck all judge entries by this.
const char* WhyTrustedFolderIsUnfit(const std::wstring& a_strFinal);

// What the platform says of the caller's right, as a standard user, to
// change a file or folder (write, append, create in it, delete, change its
// ACL or owner). Where the caller may change the Windows folder itself (an
// elevated administrator's own token is judged unelevated, so this means a
// platform without ACLs) the answer is always no, and the published list of
// writable folders is all that speaks.
class CUserWriteCheck {
public:
    CUserWriteCheck();
    // a_strFinal or a folder between it and a_strRoot (a_strRoot excluded).
    bool MayChangeBelow(const std::wstring& a_strFinal, const std::wstring& a_strRoot) const;
    bool MayChange(const std::wstring& a_strFinal) const;

private:
    UniqueNullHandle m_token;
    bool m_bSpeaks = false;
};

// The folder that holds the users' profiles ("C:\Users"); empty when the
// platform does not say.
std::wstring GetProfilesFolder();

// The entries of a "TrustedFolders" value as written, blanks around them
// removed, empty entries left out.
std::vector<std::string> SplitTrustedFolders(const char* a_szTrustedFolders);

// A program held from its judgement until its process exists: opened without
// write or delete sharing, so that nobody can replace, rename or change it,
// and known by its final path, so that no link on the way to it can be
// re-pointed. The process is started by that final path and checked against
// the held file.
class CHeldProgram {
public:
    // Null when a_strName (a full path) is held; else why it cannot be: it
    // cannot be opened, or it passes through a link or junction that no
    // administrator owns (users may re-point those).
    const char* Hold(const std::wstring& a_strName);
    const std::wstring& FinalPath() const { return m_strFinal; }
    // True when the image of a_hProcess is the held file itself.
    bool IsImageOf(void* a_hProcess) const;

private:
    UniqueFileHandle m_file;
    std::wstring m_strFinal;
};

} // namespace vm
