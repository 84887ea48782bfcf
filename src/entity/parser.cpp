// Identifier strings: "c" class "t" type ["v" version] then up to four of
// "l", "p", "r", "o" with signed numbers. One pass over Lua's own copy of the
// string, nothing raised; only a number argument gets a string made for it.
#include <array>
#include <cstring>

#include "entity/entity.h"

enum { FIELD_ITEMS_MAX = 4, MINOR_DIGITS_MAX = 5 };

// A fifth minor digit is read but weighs nothing.
static const uint64_t kMinorWeights[MINOR_DIGITS_MAX] = {1000, 100, 10, 1, 0};

static inline unsigned DigitValue(char c) { return static_cast<unsigned char>(c) - unsigned{'0'}; }

static inline bool IsDigit(char c) { return DigitValue(c) < 10; }

// No overflow check: callers keep the bits they have room for.
static uint64_t ReadDigits(const char **position) {
  const char *p = *position;
  uint64_t value = 0;
  for (unsigned digit; (digit = DigitValue(*p)) < 10; p++) value = value * 10 + digit;
  *position = p;
  return value;
}

int32_t ReadNumberField(const char **position) {
  const char *p = *position;
  bool negative = *p == '-';
  if (negative) p++;
  uint32_t value = static_cast<uint32_t>(ReadDigits(&p));
  *position = p;
  return static_cast<int32_t>(negative ? 0u - value : value);
}

static const char *ReadMinor(const char **position, uint64_t *minor) {
  const char *p = *position;
  uint64_t sum = 0;
  for (int i = 0; i < MINOR_DIGITS_MAX && IsDigit(*p); i++, p++) sum += DigitValue(*p) * kMinorWeights[i];
  *position = p;
  *minor = sum;
  return IsDigit(*p) ? "minor version too large" : nullptr;
}

// major[.minor[.build[.revision]]], each part only after the one before it.
static const char *ReadVersion(const char **position, ZELRELAY_EntityItem *entity) {
  const char *p = *position;
  entity->version.major = ReadDigits(&p);
  const char *message = nullptr;
  if (*p == '.') {
    p++;
    message = ReadMinor(&p, &entity->version.minor);
    if (message == nullptr && *p == '.') {
      p++;
      entity->version.build = ReadDigits(&p);
      if (*p == '.') {
        p++;
        entity->revision = ReadDigits(&p);
      }
    }
  }
  *position = p;
  return message;
}

// Field letters by character: one load instead of a chain of compares.
using Field = int32_t ZELRELAY_EntityItem::*;
static const Field kFields[] = {nullptr, &ZELRELAY_EntityItem::language, &ZELRELAY_EntityItem::platform,
                                &ZELRELAY_EntityItem::region, &ZELRELAY_EntityItem::oem};

static constexpr std::array<unsigned char, 256> FieldLetters() {
  std::array<unsigned char, 256> letters{};
  letters['l'] = 1;
  letters['p'] = 2;
  letters['r'] = 3;
  letters['o'] = 4;
  return letters;
}
static constexpr std::array<unsigned char, 256> kFieldLetters = FieldLetters();

static const char *ReadFields(const char *p, const char *end, ZELRELAY_EntityItem *entity) {
  for (int count = 1;; count++) {
    // An embedded NUL is no end of the string: "c3t4\0x" must not pass as c3t4.
    if (*p == '\0') return p == end ? nullptr : "invalid field";
    unsigned field = kFieldLetters[static_cast<unsigned char>(*p)];
    if (field == 0) return "invalid field";
    p++;
    entity->*kFields[field] = ReadNumberField(&p);
    if (count > FIELD_ITEMS_MAX) return "too many fields";
  }
}

const char *StringToComponent(lua_State *L, int32_t index, ZELRELAY_EntityItem *entity) {
  memset(entity, 0, sizeof *entity);
  entity->language = entity->platform = entity->region = entity->oem = -1;
  size_t length = 0;
  const char *p = lua_tolstring(L, index, &length);
  if (p == nullptr) return "expected product id string";
  const char *end = p + length;
  if (*p != 'c') return "invalid product class";
  p++;
  entity->klass = static_cast<int32_t>(static_cast<uint32_t>(ReadDigits(&p)));
  if (*p != 't') return "invalid product type";
  p++;
  entity->type = static_cast<int32_t>(static_cast<uint32_t>(ReadDigits(&p)));
  if (*p == 'v') {
    p++;
    const char *message = ReadVersion(&p, entity);
    if (message != nullptr) return message;
  }
  return ReadFields(p, end, entity);
}
