#include "tests/support/PolicyFile.h"

#include "tests/support/TestPaths.h"

#include <windows.h>

#include <cstdio>

namespace vmtest {

uint32_t Crc32(const std::string& a_strBytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : a_strBytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string SealPolicy(const PolicyFields& a_fields)
{
    std::string strText = "LUMIDEX-CCF 1\r\n";
    for (const auto& field : a_fields)
        strText += field.first + "=" + field.second + "\r\n";
    char szChecksum[32];
    snprintf(szChecksum, sizeof(szChecksum), "Checksum=%08X\r\n", Crc32(strText));
    return strText + szChecksum;
}

std::string PolicyPath()
{
    return TestDir() + "\\company.ccf";
}

void WritePolicy(const PolicyFields& a_fields)
{
    WriteFile(PolicyPath(), SealPolicy(a_fields));
}

void RemovePolicy()
{
    DeleteFileA(PolicyPath().c_str());
}

} // namespace vmtest
