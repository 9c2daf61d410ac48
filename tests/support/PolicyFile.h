#pragma once
// Writes company policy files the way the administrators' tool seals them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vmtest {

using PolicyFields = std::vector<std::pair<std::string, std::string>>;

uint32_t Crc32(const std::string& a_strBytes);
// The sealed text: signature line, Name=Value lines, checksum line; CR LF ends.
std::string SealPolicy(const PolicyFields& a_fields);
// company.ccf beside the cipher.dll that test programs load (the test directory).
std::string PolicyPath();
void WritePolicy(const PolicyFields& a_fields);
void RemovePolicy();

} // namespace vmtest
