// CRC-32 (the IEEE 802.3 / zlib polynomial), computed piece by piece.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarvik::sim {

class Crc32 {
public:
    void Add(std::span<const unsigned char> bytes);
    uint32_t Value() const { return ~state_; }
    std::string Hex() const;  // "CBF43926"

private:
    uint32_t state_ = 0xFFFFFFFFu;
};

}  // namespace tarvik::sim
