// The cassette format's constants, for the tap that writes cassettes and the
// stand-in that reads them.  The written definition of a valid file is
// devkit/README.md's format section; the Python reader
// (devkit/src/zq/csdk/_cassette_file.py) holds the same numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq_cassette {

inline constexpr char kMagic[] = "ZQCASSETTE\n";
inline constexpr size_t kMagicLen = sizeof kMagic - 1;  // then a u16 version
inline constexpr size_t kFileHead = kMagicLen + 2;      // the magic and the version
inline constexpr unsigned kVersion = 1;                 // 0 was never written: refused like a newer one
inline constexpr size_t kRecordHead = 9;                // u32 payload length, u8 kind, u32 CRC-32

// A payload holds at most a reply of INT_MAX bytes and the fields around it.
inline constexpr uint64_t kMaxPayload = 2147483647ull + 65536;
// A CALL holds at most as many values as the widest core function takes.
inline constexpr unsigned kMaxArgs = 12;
// The HEADER's JSON nests at most this deep (the object itself is level 1).
inline constexpr int kMaxHeaderDepth = 64;

enum Kind : uint8_t { HEADER = 1, CALL = 2, RETURN = 3, EVENT = 4, END = 5 };
enum Tag : uint8_t { NONE = 0, I32 = 1, I64 = 2, F64 = 3, BOOL = 4, TEXT = 5, BUF = 6, SECRET = 7, FNPTR = 8 };

}  // namespace zq_cassette
