// Entity identifiers as the relay reads and writes them, and request matching.
#include "base/entity.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "base/text.h"
#include "zelrelay_shared.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

uint64_t ReadDigits(std::string_view text, size_t &at) {
  uint64_t value = 0;
  while (at < text.size() && IsDigit(text[at])) value = value * 10 + uint64_t(text[at++] - '0');
  return value;
}

int32_t ReadField(std::string_view text, size_t &at) {
  bool negative = at < text.size() && text[at] == '-';
  if (negative) ++at;
  uint32_t value = uint32_t(ReadDigits(text, at));
  return int32_t(negative ? 0u - value : value);
}

bool Next(std::string_view text, size_t at, char c) { return at < text.size() && text[at] == c; }

bool ReadVersion(std::string_view text, size_t &at, ZEL_Version &version, uint64_t &revision) {
  version.major = ReadDigits(text, at);
  if (!Next(text, at, '.')) return true;
  ++at;
  uint64_t weight = 10000, minor = 0;
  for (int i = 0; i < 5 && at < text.size() && IsDigit(text[at]); ++i) {
    weight /= 10;
    minor += uint64_t(text[at++] - '0') * weight;
  }
  if (at < text.size() && IsDigit(text[at])) return false;
  version.minor = minor;
  if (!Next(text, at, '.')) return true;
  ++at;
  version.build = ReadDigits(text, at);
  if (!Next(text, at, '.')) return true;
  ++at;
  revision = ReadDigits(text, at);
  return true;
}

int32_t *FieldOf(ZELRELAY_EntityItem &entity, char letter) {
  switch (letter) {
    case 'l': return &entity.language;
    case 'p': return &entity.platform;
    case 'r': return &entity.region;
    case 'o': return &entity.oem;
    default: return nullptr;
  }
}

// The repository's keys print klass, type, major and build as signed 32-bit
// numbers: a larger value would come back as another entity, or not at all.
bool FitsKey(uint64_t value) { return value <= INT32_MAX; }

}  // namespace

bool ParseIdentifier(std::string_view text, ZELRELAY_EntityItem &entity) {
  entity = ZELRELAY_EntityItem{};
  entity.language = entity.platform = entity.region = entity.oem = -1;
  size_t at = 0;
  if (!Next(text, at, 'c')) return false;
  uint64_t klass = ReadDigits(text, ++at);
  if (!Next(text, at, 't')) return false;
  uint64_t type = ReadDigits(text, ++at);
  if (!FitsKey(klass) || !FitsKey(type)) return false;
  entity.klass = int32_t(klass);
  entity.type = int32_t(type);
  if (Next(text, at, 'v') && !ReadVersion(text, ++at, entity.version, entity.revision)) return false;
  if (!FitsKey(entity.version.major) || !FitsKey(entity.version.build)) return false;
  for (int fields = 0; at < text.size(); ++fields) {
    int32_t *field = FieldOf(entity, text[at]);
    if (field == nullptr || fields == 4) return false;
    *field = ReadField(text, ++at);
  }
  return true;
}

namespace {

// Every index line is keyed by these names, and reading an index makes one
// per entry: written without snprintf's reading of a format.
char *PutNumber(char *out, int32_t value) {
  if (value < 0) *out++ = '-';
  return PutDecimal(out, value < 0 ? 0 - uint64_t(int64_t(value)) : uint64_t(value));
}

char *PutQualifiers(char *p, const ZELRELAY_EntityItem &e) {
  *p++ = 'l';
  p = PutNumber(p, e.language);
  *p++ = 'p';
  p = PutNumber(p, e.platform);
  *p++ = 'r';
  p = PutNumber(p, e.region);
  *p++ = 'o';
  return PutNumber(p, e.oem);
}

char *PutKind(char *p, const ZELRELAY_EntityItem &e) {
  *p++ = 'c';
  p = PutNumber(p, e.klass);
  *p++ = 't';
  return PutNumber(p, e.type);
}

// The minor part in at least four digits, as "%04llu" writes it.
char *PutVersion(char *p, const ZEL_Version &v) {
  *p++ = 'v';
  p = PutNumber(p, int32_t(v.major));
  *p++ = '.';
  for (uint64_t scale = 1000; scale > 1 && v.minor < scale; scale /= 10) *p++ = '0';
  p = PutDecimal(p, v.minor);
  *p++ = '.';
  return PutNumber(p, int32_t(v.build));
}

}  // namespace

std::string_view ExtractNameInto(const ZELRELAY_EntityItem &e, char (&buffer)[kNameBuffer]) {
  char *p = PutQualifiers(PutVersion(PutKind(buffer, e), e.version), e);
  return std::string_view(buffer, size_t(p - buffer));
}

std::string ExtractName(const ZELRELAY_EntityItem &e) {
  char text[kNameBuffer];
  return std::string(ExtractNameInto(e, text));
}

std::string ShortName(const ZELRELAY_EntityItem &e) {
  char text[kNameBuffer];
  char *p = PutKind(text, e);
  if (e.version.major != 0 || e.version.minor != 0 || e.version.build != 0) p = PutVersion(p, e.version);
  const std::pair<char, int32_t> qualifiers[] = {{'l', e.language}, {'p', e.platform}, {'r', e.region}, {'o', e.oem}};
  for (auto [letter, value] : qualifiers) {
    if (value == -1) continue;
    *p++ = letter;
    p = PutNumber(p, value);
  }
  return std::string(text, size_t(p - text));
}

std::string ComponentName(const ZELRELAY_EntityItem &e) {
  char text[96];
  char *p = PutQualifiers(PutKind(text, e), e);
  return std::string(text, size_t(p - text));
}

bool IsPatternEntity(const ZELRELAY_EntityItem &e) {
  return e.klass == ZELRELAY_CLASS_PATTERN || (e.klass == ZELRELAY_CLASS_KVEM && e.type == ZELRELAY_TYPE_KVEM);
}

bool IsNewer(const ZEL_Version &a, const ZEL_Version &than) {
  if (a.major != than.major) return a.major > than.major;
  if (a.minor != than.minor) return a.minor > than.minor;
  return a.build > than.build;
}

bool SameVersion(const ZEL_Version &a, const ZEL_Version &b) {
  return a.major == b.major && a.minor == b.minor && a.build == b.build;
}

namespace {

bool QualifierMatches(int32_t request, int32_t value) { return request == -1 || request == value; }

bool AnyVersion(const ZEL_Version &v) { return v.major == 0 && v.minor == 0 && v.build == 0; }

}  // namespace

bool RequestMatches(const ZELRELAY_EntityItem &request, const ZELRELAY_EntityItem &entity) {
  return request.klass == entity.klass && request.type == entity.type &&
         QualifierMatches(request.language, entity.language) &&
         QualifierMatches(request.platform, entity.platform) && QualifierMatches(request.region, entity.region) &&
         QualifierMatches(request.oem, entity.oem) &&
         (AnyVersion(request.version) || SameVersion(request.version, entity.version));
}
