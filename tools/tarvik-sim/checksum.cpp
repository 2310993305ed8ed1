// CRC-32 (see checksum.h).
#include "checksum.h"

#include <array>
#include <cstdio>

namespace tarvik::sim {
namespace {

constexpr std::array<uint32_t, 256> MakeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

void Crc32::Add(std::span<const unsigned char> bytes)
{
    for (unsigned char b : bytes)
        state_ = kTable[(state_ ^ b) & 0xFF] ^ (state_ >> 8);
}

std::string Crc32::Hex() const
{
    char text[12];
    snprintf(text, sizeof text, "%08X", Value());
    return text;
}

}  // namespace tarvik::sim
