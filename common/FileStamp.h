#pragma once
// What a file or folder looks like from outside (attributes, size, last-write
// and change times) and the folders a full local path passes through: enough
// to tell that something read from them earlier would read the same now.

#include <windows.h>

#include <vector>

struct FileStamp {
    DWORD m_dwAttributes;
    ULONGLONG m_ullSize;
    ULONGLONG m_ullWritten;
    ULONGLONG m_ullChanged;

    bool operator==(const FileStamp& a_other) const
    {
        return m_dwAttributes == a_other.m_dwAttributes && m_ullSize == a_other.m_ullSize &&
               m_ullWritten == a_other.m_ullWritten && m_ullChanged == a_other.m_ullChanged;
    }
};

// Reads the stamp without opening the file: one query of its directory entry,
// as the file-attribute functions make it. False when there is none to read,
// or when it was written or changed too recently for a later change to show
// in its times (file times move in steps, and two changes in one step leave
// the same times).
bool ReadSettledStamp(const char* a_szPath, FileStamp& a_stamp);

// The settled stamps of every folder a full local path ("X:\...") passes
// through, from the root down to the path's own folder. Adding, removing or
// renaming an entry in a folder changes that folder's times, so while these
// stay the same, every name along the path means what it meant, and a last
// part that names nothing (or, holding wildcards, matches something) does so
// still. False for a path that is not a plain local one (relative, UNC,
// device, a folder part that is empty, "." or "..", holds wildcards or would
// be trimmed, an empty last part, a stream name) and when any folder has no
// settled stamp.
bool ReadFolderStamps(const char* a_szPath, std::vector<FileStamp>& a_stamps);
