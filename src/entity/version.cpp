// Display versions: how major, minor and build numbers are written for
// people, by class and type.
#include <algorithm>
#include <iterator>

#include "entity/digits.h"
#include "entity/entity.h"

enum { CLASS_SCAN_ENGINE = 2 };

static const int32_t kScanEngineTypes[] = {
    0x48000132, 0x48000202, 0x48000203, 0x48000225, 0x48000226, 0x48000227, 0x48000228,
};

// Class-3 versions carry their whole version in the major number's digits.
// The first "%d" takes the major number cut of the digits that follow; every
// later "%d" is one digit. Sorted by type.
struct Class3Format {
  int32_t type;
  const char *pattern;
};

static const Class3Format kClass3Formats[] = {
    {ZELRELAY_TYPE_PELNO, "%d.%d%d%d.%d%d"}, {0x00000800, "%d"},
    {0x00080000, "%d"},                 {0x04000000, "%d.%d%d%d"},
    {0x04000001, "%d.%d%d%d"},          {0x20000001, "%d"},
    {0x20000020, "%d.%d%d%d.%d%d"},     {0x20000040, "%d.%d%d%d.%d%d"},
    {0x20000400, "%d.%d%d%d.%d%d"},     {0x40000010, "%d.%d%d"},
    {0x40800000, "%d.%d%d%d.%d%d"},     {0x41000000, "%d.%d%d%d.%d%d"},
    {0x48000100, "%d.%d%d%d%d%d"},      {0x48020000, "%d.%d%d%d.%d%d"},
    {0x48040024, "%d.%d%d%d.%d%d"},     {0x48040025, "%d.%d%d%d.%d%d"},
    {0x48040066, "%d.%d%d%d.%d%d"},     {0x48040181, "%d.%d%d%d%d%d.%d%d"},
    {0x48040193, "%d.%d%d%d.%d%d"},     {0x48040233, "%d.%d.%d%d%d%d"},
};

static const char kPlainFormat[] = "%d";

bool IsScanEngine(int32_t klass, int32_t type) {
  return klass == CLASS_SCAN_ENGINE && std::find(std::begin(kScanEngineTypes), std::end(kScanEngineTypes), type) !=
                                           std::end(kScanEngineTypes);
}

// Removes up to trim trailing zeros of the text ending at end, and ends it.
static void Trim(char *start, char *end, int32_t trim) {
  for (; end > start && end[-1] == '0' && trim >= 1; trim--) end--;
  *end = '\0';
}

// Brings a value below 1000, 100 or 10 to four digits.
static char *PutZeros(char *out, uint64_t minor) {
  if (minor <= 999) *out++ = '0';
  if (minor <= 99) *out++ = '0';
  if (minor <= 9) *out++ = '0';
  return out;
}

MinorText FormatMinorVersion(uint64_t minor, int32_t trim) {
  MinorText text;
  if (minor == 0) return MinorText{"0"};
  Trim(text.text, PutUnsigned(PutZeros(text.text, minor), Low32(minor)), trim);
  return text;
}

MinorText FormatMinorVersion2(uint64_t minor, int32_t trim) {
  MinorText text;
  Trim(text.text, PutZeros(PutUnsigned(text.text, Low32(minor)), minor), trim);
  return text;
}

// Room for major "." minor "." build.
enum { VERSION_TEXT_MAX = DIGITS_MAX + 1 + sizeof(MinorText) + 1 + DIGITS_MAX };

void FormatVersion(lua_State *L, uint64_t major, uint64_t minor, uint64_t build, int32_t trim,
                   bool alwaysShowBuild, MINOR_VERSION_TYPE style) {
  char text[VERSION_TEXT_MAX];
  char *p = PutUnsigned(text, Low32(major));
  *p++ = '.';
  MinorText minorText = style == MINOR_VERSION_PAD_RIGHT ? FormatMinorVersion2(minor, trim)
                                                         : FormatMinorVersion(minor, trim);
  size_t minorLength = strlen(minorText.text);
  memcpy(p, minorText.text, minorLength);
  p += minorLength;
  if (alwaysShowBuild || build != 0) {
    *p++ = '.';
    p = PutUnsigned(p, Low32(build));
  }
  lua_pushlstring(L, text, static_cast<size_t>(p - text));
}

static const char *Class3Pattern(int32_t type) {
  const Class3Format *found = std::lower_bound(
      std::begin(kClass3Formats), std::end(kClass3Formats), type,
      [](const Class3Format &format, int32_t wanted) { return format.type < wanted; });
  return found != std::end(kClass3Formats) && found->type == type ? found->pattern : kPlainFormat;
}

// Same text as lua_pushfstring(pattern, M/10^k, digits...), each value passed
// as a signed 32-bit int, without its floating-point detour.
static void PushClass3Version(lua_State *L, const char *pattern, uint64_t major) {
  uint64_t divisor = 1;
  for (const char *f = pattern + 2; *f != '\0'; f++)
    if (*f == '%') divisor *= 10;
  char text[32];
  char *p = PutSigned(text, Low32Signed(major / divisor));
  for (const char *f = pattern + 2; *f != '\0'; f++) {
    if (*f != '%') {
      *p++ = *f;
      continue;
    }
    f++;
    divisor /= 10;
    *p++ = static_cast<char>('0' + major / divisor % 10);
  }
  lua_pushlstring(L, text, static_cast<size_t>(p - text));
}

void ConvertVersionFormatEK2UI(lua_State *L, int32_t klass, int32_t type, const ZEL_Version &version) {
  if (klass == ZELRELAY_CLASS_PATTERN && version.minor == 0 && version.build == 0)
    PushClass3Version(L, Class3Pattern(type), version.major);
  else if (IsScanEngine(klass, type))
    FormatVersion(L, version.major, version.minor, version.build, 1, false, MINOR_VERSION_PAD_RIGHT);
  else if (klass == ZELRELAY_CLASS_KVEM && type == ZELRELAY_TYPE_KVEM)
    FormatVersion(L, version.major, version.minor, version.build, 1, false, MINOR_VERSION_PAD_LEFT);
  else
    FormatVersion(L, version.major, version.minor, version.build, 3, false, MINOR_VERSION_PAD_LEFT);
}
