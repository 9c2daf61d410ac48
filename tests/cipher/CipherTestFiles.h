#pragma once
// Builds the files cipher.dll reads, independently of its own code, so the
// tests check the library against the formats rather than against itself.

#include <cstdint>
#include <string>

namespace ciphertest {

// zip's CRC-32, bit by bit.
uint32_t RefCrc32(const std::string& a_strBytes);

// The signature line, a_strBody as it stands, and the Checksum line over both.
std::string Sealed(const std::string& a_strBody, const std::string& a_strEol = "\r\n",
                   const std::string& a_strSignature = "LUMIDEX-CCF 1");

struct HeaderFields {
    std::string strMagic = "LMDXACAP";
    uint32_t uVersion = 1;
    uint32_t uHeaderSize = 32;
    uint64_t uPayloadSize = 0;
    uint32_t uReserved = 0;
    bool bFixCrc = true; // false: the CRC of the standard header, whatever the fields say
};

// The 32-byte document header with the given fields.
std::string MakeHeader(const HeaderFields& a_fields);
std::string MakeHeader(uint64_t a_uPayloadSize);

// Path of company.ccf beside the cipher.dll the test program loads.
std::string CcfPath();

} // namespace ciphertest
