#include "tests/cipher/CipherTestFiles.h"

#include "tests/support/PolicyFile.h"
#include "tests/support/TestPaths.h"

#include <cstdio>

namespace ciphertest {

// The reference CRC-32 of the tests, independent of the library's own.
uint32_t RefCrc32(const std::string& a_strBytes)
{
    return vmtest::Crc32(a_strBytes);
}

std::string Sealed(const std::string& a_strBody, const std::string& a_strEol, const std::string& a_strSignature)
{
    std::string strFile = a_strSignature + a_strEol + a_strBody;
    char szLine[32];
    std::snprintf(szLine, sizeof(szLine), "Checksum=%08X", static_cast<unsigned>(RefCrc32(strFile)));
    return strFile + szLine + a_strEol;
}

namespace {
void AppendLe(std::string* a_pOut, uint64_t a_u, int a_cb)
{
    for (int i = 0; i < a_cb; ++i)
        a_pOut->push_back(static_cast<char>((a_u >> (8 * i)) & 0xFF));
}
} // namespace

std::string MakeHeader(const HeaderFields& a_fields)
{
    std::string strHeader = a_fields.strMagic.substr(0, 8);
    AppendLe(&strHeader, a_fields.uVersion, 4);
    AppendLe(&strHeader, a_fields.uHeaderSize, 4);
    AppendLe(&strHeader, a_fields.uPayloadSize, 8);
    AppendLe(&strHeader, a_fields.uReserved, 4);
    AppendLe(&strHeader, RefCrc32(a_fields.bFixCrc ? strHeader : MakeHeader(HeaderFields{}).substr(0, 28)), 4);
    return strHeader;
}

std::string MakeHeader(uint64_t a_uPayloadSize)
{
    HeaderFields fields;
    fields.uPayloadSize = a_uPayloadSize;
    return MakeHeader(fields);
}

std::string CcfPath()
{
    return vmtest::TestDir() + "\\company.ccf";
}

} // namespace ciphertest
