// Decimal text of 32-bit values written straight into a char buffer: Lua 5.2's
// lua_pushfstring("%d") goes through floating-point printf and is several
// times slower for the same text.
#pragma once

#include <cstdint>
#include <cstring>

// Largest text: "-2147483648" or "4294967295".
enum { DIGITS_MAX = 11 };

// Writes the digits of value at out, which has room for DIGITS_MAX, without
// a terminator; returns the end of the text.
inline char *PutUnsigned(char *out, uint32_t value) {
  char digits[DIGITS_MAX];
  char *start = digits + sizeof digits;
  do {
    *--start = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t length = static_cast<size_t>(digits + sizeof digits - start);
  memcpy(out, start, length);
  return out + length;
}

// The same for a signed value, with its '-'.
inline char *PutSigned(char *out, int32_t value) {
  auto magnitude = static_cast<uint32_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0u - magnitude;
  }
  return PutUnsigned(out, magnitude);
}

// Texts show only the low 32 bits of a 64-bit version number: unsigned where
// a display version is built, signed where "%d" of lua_pushfstring would be.
inline uint32_t Low32(uint64_t value) { return static_cast<uint32_t>(value); }
inline int32_t Low32Signed(uint64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }
