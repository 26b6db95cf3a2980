// Basic scalar types of the host API, shared by the host and every plug-in.
#pragma once

#include <cstddef>
#include <cstdint>

using Int16 = std::int16_t;
using UInt16 = std::uint16_t;
using Int32 = std::int32_t;
using UInt32 = std::uint32_t;
using Int64 = std::int64_t;
using UInt64 = std::uint64_t;
using Float = double;
using Float32 = float;
using Bool = bool;
using Char = char;
using UChar = unsigned char;
using Utf16Char = char16_t;

#define ORX_EXPORT extern "C" __attribute__((visibility("default")))

// Four-character codes are read most significant byte first ("dbfh" = 0x64626668).
constexpr UInt32 FourCC(const char (&s)[5])
{
  return (UInt32(UChar(s[0])) << 24) | (UInt32(UChar(s[1])) << 16) | (UInt32(UChar(s[2])) << 8) |
         UInt32(UChar(s[3]));
}

// Date and time as six UInt16 fields, in the order year, month, day, hour, minute, second.
struct DateTime
{
  UInt16 year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool operator==(const DateTime&) const = default;
};

constexpr Int32 NOTOK = -1;
