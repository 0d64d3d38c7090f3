// What a valid record payload is (devkit/README.md, "The cassette format"):
// every field of its kind in order, every length within the record and in
// agreement with the bytes it describes, nothing left over.  The reasons
// are the Python reader's, word for word, so that both readers report the
// same damage at the same record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq_cassette {

// "" when `p[0..n)` is a valid payload of a record of `kind` (one of Kind),
// else why it is not.
std::string payload_damage(uint8_t kind, const char* p, size_t n);

// Whether `p[0..n)` is UTF-8 text holding one JSON value (RFC 8259, plus the
// constants NaN, Infinity and -Infinity) nested at most kMaxHeaderDepth
// deep; `object`: whether that value is an object.
bool json_value(const char* p, size_t n, bool& object);

}  // namespace zq_cassette
