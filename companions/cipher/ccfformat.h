#pragma once
// The two file formats of cipher.dll, shared by the DLL and ciphertool so that
// the library and the administrators' tool can never disagree about a file:
//
// Company policy file (company.ccf), text:
//   LUMIDEX-CCF 1                 first line, exactly
//   ; comment                     comments, blank lines and Name=Value lines
//   Name=Value                    value = everything after the first '='
//   Checksum=XXXXXXXX             last non-blank line: CRC-32 of every byte
//                                 before it, 8 upper-case hex digits
//
// Encrypted-document header, the first 32 bytes of a document:
//   "LMDXACAP", then little-endian uint32 version (1), uint32 header size (32),
//   uint64 payload size, uint32 reserved (0), uint32 CRC-32 of bytes 0..27.
//
// Answers use the codes of cipher.h. Everything here may throw std::bad_alloc;
// the DLL's exported members catch it.

#include "companions/cipher/cipher.h"
#include "common/Handle.h"
#include "common/TrustedProgram.h"
#include "common/TrustedPublisher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cipherfmt {

constexpr char c_szCcfSignature[] = "LUMIDEX-CCF 1";
constexpr char c_szChecksumName[] = "Checksum";
constexpr char c_szCcfFileName[] = "company.ccf";
constexpr uint64_t c_cbCcfMax = 1024 * 1024;

constexpr size_t c_cbAcapHeader = 32;
constexpr size_t c_cbAcapCrcCovered = 28;
constexpr char c_szAcapMagic[] = "LMDXACAP"; // 8 bytes, no terminator in the file
constexpr uint32_t c_uAcapVersion = 1;

// The CRC-32 of zip (reflected, polynomial 0xEDB88320). Pass the previous
// result as a_uCrc to continue over more data.
uint32_t Crc32(const void* a_pData, size_t a_cb, uint32_t a_uCrc = 0);

// Outcome of reading a whole file with a size limit.
enum class ReadStatus { Ok, CannotOpen, TooLarge };

// Opens a regular file for reading, shared for reading, writing and deletion
// so that a file held open by its owner stays readable. Directories and
// devices (CON, pipes) are refused: they could block or mean nothing here.
vm::UniqueFileHandle OpenRegularFileForReading(const char* a_szPath);
vm::UniqueFileHandle OpenRegularFileForReading(const wchar_t* a_szPath);

// Reads a regular file shared for reading, writing and deletion, so that a
// file held open by its owner stays readable. Directories and devices answer
// CannotOpen; a file above a_cbMax answers TooLarge without being read.
ReadStatus ReadWholeFile(const char* a_szPath, uint64_t a_cbMax, std::string* a_pBytes);
// The same for a file already open, read from where its position stands.
ReadStatus ReadOpenFile(const vm::UniqueFileHandle& a_file, uint64_t a_cbMax, std::string* a_pBytes);

// Policy-file fields that are settings; every other field names an
// application by its file name and, as its value, the plug-in that controls
// it. The flags are on for "1" and off for "0".
constexpr char c_szCompanyIdField[] = "CompanyID";
constexpr char c_szDeleteOtherAddinField[] = "DeleteOtherAddin";
constexpr char c_szNotLoadSSDriverField[] = "NotLoadSSDriver";
constexpr const char* c_szFlagFields[] = {c_szDeleteOtherAddinField, c_szNotLoadSSDriverField};
constexpr const char* c_szSettingFields[] = {c_szCompanyIdField, c_szDeleteOtherAddinField,
                                             c_szNotLoadSSDriverField, "ExcludeAppList",
                                             "VormidpmiAppList", vm::c_szTrustedFoldersField,
                                             vm::c_szTrustedPublishersField};

struct CcfField {
    std::string strName;
    std::string strValue;
    size_t nLine = 0; // 1-based, in the text it was read from
};

// Field names, like everything the reader compares, ignore ASCII letter case.
bool EqualsIgnoringAsciiCase(std::string_view a_left, std::string_view a_right);
bool IsSettingField(std::string_view a_name);

// Judges a policy file's bytes. On CCF_VALID the fields are in a_pFields in
// file order (the Checksum line is not a field). a_pnLine, when given, gets the
// 1-based number of the line at fault, or 0.
int ParseCcf(const std::string& a_strBytes, std::vector<CcfField>* a_pFields,
             size_t* a_pnLine = nullptr);

// Reads and judges the policy file at a_szPath.
int ReadCcfFile(const char* a_szPath, std::vector<CcfField>* a_pFields, size_t* a_pnLine = nullptr);
// The same through a handle already open (an empty one reads as missing).
// a_pBytes, when given, gets the bytes read.
int ReadCcfFile(const vm::UniqueFileHandle& a_file, std::vector<CcfField>* a_pFields, size_t* a_pnLine = nullptr,
                std::string* a_pBytes = nullptr);

// The policy of a product folder, the one way every reader of an installed
// policy takes: the company.ccf of a_strFolder (a full path, no trailing
// backslash), read only through a handle whose final path is that folder's
// own file. A copy the platform keeps in a user's VirtualStore for a program
// it virtualizes, or one reached through a link, is not the administrator's
// policy and reads as missing.
int ReadFolderPolicy(const std::wstring& a_strFolder, std::vector<CcfField>* a_pFields,
                     std::string* a_pBytes = nullptr);

// First field whose name equals a_szName ignoring ASCII letter case; null for
// none or for a null name.
const CcfField* FindCcfField(const std::vector<CcfField>& a_fields, const char* a_szName);

// Answers of SealCcf.
enum SealStatus {
    SEAL_OK = 0,
    SEAL_E_LINE,      // a line that is neither blank, comment nor Name=Value
    SEAL_E_CHECKSUM,  // a Checksum line other than a trailing one of an earlier seal
    SEAL_E_TOO_LARGE, // the sealed file would exceed the size limit
};

// Builds a sealed policy file from Name=Value lines, comments and blanks: the
// signature line first (one already there is not repeated), CR LF line ends,
// the Checksum line last. A trailing Checksum line of an earlier seal is
// dropped, so an edited policy file can be sealed again. a_pnLine gets the
// 1-based input line at fault; a_pFields, when given, the fields sealed, with
// their input lines.
int SealCcf(const std::string& a_strInput, std::string* a_pOutput, size_t* a_pnLine = nullptr,
            std::vector<CcfField>* a_pFields = nullptr);

struct AcapHeader {
    uint32_t uVersion = 0;
    uint32_t uHeaderSize = 0;
    uint64_t uPayloadSize = 0;
    uint32_t uReserved = 0;
    uint32_t uCrc = 0;
};

// Judges header bytes, in this order: short, magic, CRC, version, fields.
int CheckAcapHeader(const unsigned char* a_pBytes, size_t a_cb, AcapHeader* a_pHeader);

// Reads at most the header's 32 bytes of the file at a_szPath and judges them.
// a_pRaw, when given, receives the bytes read (zero-filled beyond them).
int ReadAcapHeader(const char* a_szPath, AcapHeader* a_pHeader,
                   unsigned char (*a_pRaw)[c_cbAcapHeader] = nullptr);
int ReadAcapHeader(const wchar_t* a_szPath, AcapHeader* a_pHeader,
                   unsigned char (*a_pRaw)[c_cbAcapHeader] = nullptr);

// The header of a document whose payload has a_cbPayload bytes.
void BuildAcapHeader(uint64_t a_cbPayload, unsigned char (&a_header)[c_cbAcapHeader]);

// Words for the codes, for administrators.
const char* DescribeCcfValidity(int a_nCode);
const char* DescribeAcapHeaderStatus(int a_nCode);

} // namespace cipherfmt
