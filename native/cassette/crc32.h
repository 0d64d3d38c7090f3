// CRC-32 as zlib computes it, the cassette records' checksum: written by the
// recording tap, checked by the stand-in's reader.  Eight bytes a step
// (slicing by 8): on record-sized input it takes half the time zlib's own
// function takes here, and needs no library beyond libc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace crc32_slice8 {

struct Tables {
    uint32_t t[8][256] = {};
    constexpr Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
    }
};
inline constexpr Tables kTables{};

// zlib's crc32(crc, data, n): a running CRC (0 to start) extended by n bytes.
inline uint32_t crc32(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    const auto& t = kTables.t;
    crc = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= crc;
        crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
              t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
    }
    while (n--) crc = t[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
    return ~crc;
}

}  // namespace crc32_slice8
