#include "companions/cipher/ccfformat.h"

#include "common/FileIdentity.h"
#include "common/Handle.h"

#include <windows.h>

#include <array>
#include <cstring>
#include <string_view>

namespace cipherfmt {

namespace {

constexpr char c_szCrLf[] = "\r\n";
constexpr size_t c_cchChecksumDigits = 8;
constexpr DWORD c_dwShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD c_cbReadChunk = 64 * 1024;

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> c_crcTable = MakeCrcTable();

// One line of a text file: where it starts and its text without the line end.
struct Line {
    size_t offStart;
    std::string_view text;
};

// Lines end with LF or CR LF; a lone CR stays part of its line (and makes the
// line malformed later), so a CR-only file reads as one long line.
std::vector<Line> SplitLines(std::string_view a_bytes)
{
    std::vector<Line> lines;
    size_t off = 0;
    while (off < a_bytes.size()) {
        size_t offLf = a_bytes.find('\n', off);
        size_t offEnd = offLf == std::string_view::npos ? a_bytes.size() : offLf;
        std::string_view text = a_bytes.substr(off, offEnd - off);
        if (offLf != std::string_view::npos && !text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        lines.push_back({off, text});
        off = offLf == std::string_view::npos ? a_bytes.size() : offLf + 1;
    }
    return lines;
}

bool HoldsOnlyBlanks(std::string_view a_text)
{
    return a_text.find_first_not_of(" \t") == std::string_view::npos;
}

char FoldAscii(char a_ch)
{
    return (a_ch >= 'A' && a_ch <= 'Z') ? static_cast<char>(a_ch - 'A' + 'a') : a_ch;
}

enum class LineKind { Blank, Comment, Field, Malformed };

// A NUL could not be handed out in a zero-terminated value, and a lone CR
// would let two readers disagree about where a line ends: both are refused.
// A name must hold more than blanks.
LineKind ClassifyLine(std::string_view a_text, std::string_view* a_pName, std::string_view* a_pValue)
{
    if (HoldsOnlyBlanks(a_text))
        return LineKind::Blank;
    if (a_text.find('\0') != std::string_view::npos || a_text.find('\r') != std::string_view::npos)
        return LineKind::Malformed;
    if (a_text.front() == ';')
        return LineKind::Comment;
    size_t offEq = a_text.find('=');
    if (offEq == std::string_view::npos || HoldsOnlyBlanks(a_text.substr(0, offEq)))
        return LineKind::Malformed;
    *a_pName = a_text.substr(0, offEq);
    *a_pValue = a_text.substr(offEq + 1);
    return LineKind::Field;
}

bool IsUpperHex(char a_ch)
{
    return (a_ch >= '0' && a_ch <= '9') || (a_ch >= 'A' && a_ch <= 'F');
}

// "Checksum=" and exactly eight upper-case hex digits.
bool ParseChecksumLine(std::string_view a_text, uint32_t* a_puCrc)
{
    constexpr std::string_view prefix = c_szChecksumName;
    if (a_text.size() != prefix.size() + 1 + c_cchChecksumDigits || a_text.substr(0, prefix.size()) != prefix
        || a_text[prefix.size()] != '=')
        return false;
    uint32_t uCrc = 0;
    for (char ch : a_text.substr(prefix.size() + 1)) {
        if (!IsUpperHex(ch))
            return false;
        uCrc = (uCrc << 4) | static_cast<uint32_t>(ch <= '9' ? ch - '0' : ch - 'A' + 10);
    }
    *a_puCrc = uCrc;
    return true;
}

std::string FormatChecksumLine(uint32_t a_uCrc)
{
    static const char c_szDigits[] = "0123456789ABCDEF";
    std::string strLine = std::string(c_szChecksumName) + '=';
    for (int shift = 28; shift >= 0; shift -= 4)
        strLine += c_szDigits[(a_uCrc >> shift) & 0xF];
    return strLine;
}

size_t LastNonBlank(const std::vector<Line>& a_lines, size_t a_iFrom)
{
    for (size_t i = a_lines.size(); i > a_iFrom; --i)
        if (!HoldsOnlyBlanks(a_lines[i - 1].text))
            return i - 1;
    return a_lines.size();
}

uint32_t ReadLe32(const unsigned char* a_p)
{
    return static_cast<uint32_t>(a_p[0]) | static_cast<uint32_t>(a_p[1]) << 8
        | static_cast<uint32_t>(a_p[2]) << 16 | static_cast<uint32_t>(a_p[3]) << 24;
}

void WriteLe32(unsigned char* a_p, uint32_t a_u)
{
    for (int i = 0; i < 4; ++i)
        a_p[i] = static_cast<unsigned char>(a_u >> (8 * i));
}

} // namespace

bool EqualsIgnoringAsciiCase(std::string_view a_left, std::string_view a_right)
{
    if (a_left.size() != a_right.size())
        return false;
    for (size_t i = 0; i < a_left.size(); ++i)
        if (FoldAscii(a_left[i]) != FoldAscii(a_right[i]))
            return false;
    return true;
}

bool IsSettingField(std::string_view a_name)
{
    for (const char* szSetting : c_szSettingFields)
        if (EqualsIgnoringAsciiCase(a_name, szSetting))
            return true;
    return false;
}

uint32_t Crc32(const void* a_pData, size_t a_cb, uint32_t a_uCrc)
{
    const unsigned char* p = static_cast<const unsigned char*>(a_pData);
    uint32_t c = ~a_uCrc;
    for (size_t i = 0; i < a_cb; ++i)
        c = c_crcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

namespace {

// An opened file, kept only when it is a regular file on a disk.
vm::UniqueFileHandle KeepRegularFile(vm::UniqueFileHandle hFile)
{
    if (!hFile)
        return {};
    // The basic information holds the attributes and, unlike the full
    // information, asks nothing of the volume (a quarter of a millisecond
    // under Wine, on every document opened).
    FILE_BASIC_INFO info{};
    if (GetFileType(hFile.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(hFile.get(), FileBasicInfo, &info, sizeof(info)) ||
        (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    return hFile;
}

} // namespace

vm::UniqueFileHandle OpenRegularFileForReading(const char* a_szPath)
{
    if (!a_szPath || !*a_szPath)
        return {};
    return KeepRegularFile(vm::UniqueFileHandle(
        CreateFileA(a_szPath, GENERIC_READ, c_dwShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

vm::UniqueFileHandle OpenRegularFileForReading(const wchar_t* a_szPath)
{
    if (!a_szPath || !*a_szPath)
        return {};
    return KeepRegularFile(vm::UniqueFileHandle(
        CreateFileW(a_szPath, GENERIC_READ, c_dwShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

ReadStatus ReadWholeFile(const char* a_szPath, uint64_t a_cbMax, std::string* a_pBytes)
{
    a_pBytes->clear();
    vm::UniqueFileHandle hFile = OpenRegularFileForReading(a_szPath);
    if (!hFile)
        return ReadStatus::CannotOpen;
    return ReadOpenFile(hFile, a_cbMax, a_pBytes);
}

ReadStatus ReadOpenFile(const vm::UniqueFileHandle& a_file, uint64_t a_cbMax, std::string* a_pBytes)
{
    a_pBytes->clear();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(a_file.get(), &size))
        return ReadStatus::CannotOpen;
    if (static_cast<uint64_t>(size.QuadPart) > a_cbMax)
        return ReadStatus::TooLarge;
    // The owner may still be writing: read to the end, but never past the limit.
    a_pBytes->reserve(static_cast<size_t>(size.QuadPart));
    std::string buffer(c_cbReadChunk, '\0');
    for (;;) {
        DWORD cbRead = 0;
        if (!ReadFile(a_file.get(), &buffer[0], c_cbReadChunk, &cbRead, nullptr))
            return ReadStatus::CannotOpen;
        if (cbRead == 0)
            break;
        a_pBytes->append(buffer.data(), cbRead);
        if (a_pBytes->size() > a_cbMax) {
            a_pBytes->clear();
            return ReadStatus::TooLarge;
        }
    }
    return ReadStatus::Ok;
}

int ParseCcf(const std::string& a_strBytes, std::vector<CcfField>* a_pFields, size_t* a_pnLine)
{
    size_t nLineDummy = 0;
    size_t& nLine = a_pnLine ? *a_pnLine : nLineDummy;
    nLine = 0;
    if (a_pFields)
        a_pFields->clear();
    if (a_strBytes.size() > c_cbCcfMax)
        return CCF_E_TOO_LARGE;

    std::vector<Line> lines = SplitLines(a_strBytes);
    if (lines.empty() || lines[0].text != c_szCcfSignature) {
        nLine = 1;
        return CCF_E_FIRST_LINE;
    }

    std::vector<CcfField> fields;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string_view name, value;
        LineKind kind = ClassifyLine(lines[i].text, &name, &value);
        if (kind == LineKind::Malformed) {
            nLine = i + 1;
            return CCF_E_MALFORMED;
        }
        if (kind == LineKind::Field)
            fields.push_back({std::string(name), std::string(value), i + 1});
    }

    size_t iChecksum = LastNonBlank(lines, 1);
    uint32_t uStated = 0;
    if (iChecksum == lines.size() || !ParseChecksumLine(lines[iChecksum].text, &uStated)) {
        nLine = iChecksum == lines.size() ? 0 : iChecksum + 1;
        return CCF_E_CHECKSUM;
    }
    if (Crc32(a_strBytes.data(), lines[iChecksum].offStart) != uStated) {
        nLine = iChecksum + 1;
        return CCF_E_CHECKSUM;
    }
    // The checksum line is the last field collected; any other field of that
    // name is a checksum out of place, not data.
    fields.pop_back();
    for (const CcfField& field : fields)
        if (EqualsIgnoringAsciiCase(field.strName, c_szChecksumName))
            return CCF_E_CHECKSUM;

    if (a_pFields)
        a_pFields->swap(fields);
    return CCF_VALID;
}

int ReadCcfFile(const char* a_szPath, std::vector<CcfField>* a_pFields, size_t* a_pnLine)
{
    return ReadCcfFile(OpenRegularFileForReading(a_szPath), a_pFields, a_pnLine);
}

int ReadCcfFile(const vm::UniqueFileHandle& a_file, std::vector<CcfField>* a_pFields, size_t* a_pnLine,
                std::string* a_pBytes)
{
    if (a_pFields)
        a_pFields->clear();
    if (a_pnLine)
        *a_pnLine = 0;
    std::string strOwnBytes;
    std::string& strBytes = a_pBytes ? *a_pBytes : strOwnBytes;
    switch (a_file ? ReadOpenFile(a_file, c_cbCcfMax, &strBytes) : ReadStatus::CannotOpen) {
    case ReadStatus::CannotOpen:
        return CCF_E_MISSING;
    case ReadStatus::TooLarge:
        return CCF_E_TOO_LARGE;
    case ReadStatus::Ok:
        break;
    }
    return ParseCcf(strBytes, a_pFields, a_pnLine);
}

const CcfField* FindCcfField(const std::vector<CcfField>& a_fields, const char* a_szName)
{
    if (!a_szName)
        return nullptr;
    for (const CcfField& field : a_fields)
        if (EqualsIgnoringAsciiCase(field.strName, a_szName))
            return &field;
    return nullptr;
}

int SealCcf(const std::string& a_strInput, std::string* a_pOutput, size_t* a_pnLine,
            std::vector<CcfField>* a_pFields)
{
    size_t nLineDummy = 0;
    size_t& nLine = a_pnLine ? *a_pnLine : nLineDummy;
    nLine = 0;
    a_pOutput->clear();
    if (a_pFields)
        a_pFields->clear();

    // Editors on Windows like to start UTF-8 text with a byte-order mark; left
    // in, it would become part of the first name and hide that field.
    std::string_view input = a_strInput;
    static const char c_szBom[] = "\xEF\xBB\xBF";
    size_t cchBom = input.substr(0, 3) == c_szBom ? 3 : 0;
    std::vector<Line> lines = SplitLines(input.substr(cchBom));

    size_t iFirst = (!lines.empty() && lines[0].text == c_szCcfSignature) ? 1 : 0;
    size_t iEnd = lines.size();
    size_t iLast = LastNonBlank(lines, iFirst);
    std::string_view name, value;
    if (iLast != lines.size() && ClassifyLine(lines[iLast].text, &name, &value) == LineKind::Field
        && EqualsIgnoringAsciiCase(name, c_szChecksumName))
        iEnd = iLast;

    std::string strOut = std::string(c_szCcfSignature) + c_szCrLf;
    for (size_t i = iFirst; i < iEnd; ++i) {
        LineKind kind = ClassifyLine(lines[i].text, &name, &value);
        if (kind == LineKind::Malformed) {
            nLine = i + 1;
            return SEAL_E_LINE;
        }
        if (kind == LineKind::Field && EqualsIgnoringAsciiCase(name, c_szChecksumName)) {
            nLine = i + 1;
            return SEAL_E_CHECKSUM;
        }
        if (kind == LineKind::Field && a_pFields)
            a_pFields->push_back({std::string(name), std::string(value), i + 1});
        strOut.append(lines[i].text);
        strOut += c_szCrLf;
    }
    strOut += FormatChecksumLine(Crc32(strOut.data(), strOut.size()));
    strOut += c_szCrLf;
    if (strOut.size() > c_cbCcfMax)
        return SEAL_E_TOO_LARGE;
    a_pOutput->swap(strOut);
    return SEAL_OK;
}

int CheckAcapHeader(const unsigned char* a_pBytes, size_t a_cb, AcapHeader* a_pHeader)
{
    if (a_pHeader)
        *a_pHeader = AcapHeader{};
    if (!a_pBytes || a_cb < c_cbAcapHeader)
        return ACAP_E_SHORT;
    AcapHeader header;
    header.uVersion = ReadLe32(a_pBytes + 8);
    header.uHeaderSize = ReadLe32(a_pBytes + 12);
    header.uPayloadSize = ReadLe32(a_pBytes + 16) | static_cast<uint64_t>(ReadLe32(a_pBytes + 20)) << 32;
    header.uReserved = ReadLe32(a_pBytes + 24);
    header.uCrc = ReadLe32(a_pBytes + 28);
    if (a_pHeader)
        *a_pHeader = header;
    if (std::memcmp(a_pBytes, c_szAcapMagic, 8) != 0)
        return ACAP_E_MAGIC;
    if (Crc32(a_pBytes, c_cbAcapCrcCovered) != header.uCrc)
        return ACAP_E_CRC;
    if (header.uVersion != c_uAcapVersion)
        return ACAP_E_VERSION;
    if (header.uHeaderSize != c_cbAcapHeader || header.uReserved != 0)
        return ACAP_E_FIELDS;
    return ACAP_HEADER_OK;
}

namespace {

int ReadAcapHeaderOf(const vm::UniqueFileHandle& hFile, AcapHeader* a_pHeader,
                     unsigned char (*a_pRaw)[c_cbAcapHeader])
{
    unsigned char raw[c_cbAcapHeader] = {};
    if (a_pRaw)
        std::memset(*a_pRaw, 0, c_cbAcapHeader);
    if (a_pHeader)
        *a_pHeader = AcapHeader{};
    if (!hFile)
        return ACAP_E_OPEN;
    DWORD cbTotal = 0;
    while (cbTotal < c_cbAcapHeader) {
        DWORD cbRead = 0;
        if (!ReadFile(hFile.get(), raw + cbTotal, static_cast<DWORD>(c_cbAcapHeader) - cbTotal, &cbRead, nullptr))
            return ACAP_E_OPEN;
        if (cbRead == 0)
            break;
        cbTotal += cbRead;
    }
    if (a_pRaw)
        std::memcpy(*a_pRaw, raw, c_cbAcapHeader);
    return CheckAcapHeader(raw, cbTotal, a_pHeader);
}

} // namespace

int ReadAcapHeader(const char* a_szPath, AcapHeader* a_pHeader, unsigned char (*a_pRaw)[c_cbAcapHeader])
{
    return ReadAcapHeaderOf(OpenRegularFileForReading(a_szPath), a_pHeader, a_pRaw);
}

int ReadAcapHeader(const wchar_t* a_szPath, AcapHeader* a_pHeader, unsigned char (*a_pRaw)[c_cbAcapHeader])
{
    return ReadAcapHeaderOf(OpenRegularFileForReading(a_szPath), a_pHeader, a_pRaw);
}

void BuildAcapHeader(uint64_t a_cbPayload, unsigned char (&a_header)[c_cbAcapHeader])
{
    std::memcpy(a_header, c_szAcapMagic, 8);
    WriteLe32(a_header + 8, c_uAcapVersion);
    WriteLe32(a_header + 12, static_cast<uint32_t>(c_cbAcapHeader));
    WriteLe32(a_header + 16, static_cast<uint32_t>(a_cbPayload));
    WriteLe32(a_header + 20, static_cast<uint32_t>(a_cbPayload >> 32));
    WriteLe32(a_header + 24, 0);
    WriteLe32(a_header + 28, Crc32(a_header, c_cbAcapCrcCovered));
}

const char* DescribeCcfValidity(int a_nCode)
{
    switch (a_nCode) {
    case CCF_VALID: return "valid";
    case CCF_E_MISSING: return "missing or unreadable";
    case CCF_E_TOO_LARGE: return "too large (more than 1 MiB)";
    case CCF_E_FIRST_LINE: return "wrong first line (expected \"LUMIDEX-CCF 1\")";
    case CCF_E_MALFORMED: return "malformed line (neither blank, comment nor Name=Value)";
    case CCF_E_CHECKSUM: return "checksum line missing or wrong";
    default: return "unknown answer";
    }
}

const char* DescribeAcapHeaderStatus(int a_nCode)
{
    switch (a_nCode) {
    case ACAP_HEADER_OK: return "valid";
    case ACAP_E_OPEN: return "cannot open the file";
    case ACAP_E_SHORT: return "shorter than the 32-byte header";
    case ACAP_E_MAGIC: return "wrong magic (not a marked document)";
    case ACAP_E_VERSION: return "unknown header version";
    case ACAP_E_CRC: return "header CRC does not match";
    case ACAP_E_FIELDS: return "wrong header size or reserved field";
    default: return "unknown answer";
    }
}

int ReadFolderPolicy(const std::wstring& a_strFolder, std::vector<CcfField>* a_pFields, std::string* a_pBytes)
{
    if (a_pFields)
        a_pFields->clear();
    if (a_strFolder.empty())
        return CCF_E_MISSING;
    const std::wstring strName = vm::WideFromAnsi(c_szCcfFileName);
    vm::UniqueFileHandle file = OpenRegularFileForReading((a_strFolder + L"\\" + strName).c_str());
    std::wstring strFinal, strFolder;
    if (!file || !vm::GetFinalPathOf(file.get(), strFinal) || !vm::GetFinalPath(a_strFolder, strFolder) ||
        lstrcmpiW(strFinal.c_str(), (strFolder + L"\\" + strName).c_str()) != 0)
        return CCF_E_MISSING;
    return ReadCcfFile(file, a_pFields, nullptr, a_pBytes);
}

} // namespace cipherfmt
