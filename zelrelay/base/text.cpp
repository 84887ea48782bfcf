// Reading the relay's INI-like texts, and its string forms.
#include "base/text.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool NextLine(std::string_view &text, std::string_view &line) {
  if (text.empty()) return false;
  size_t end = text.find('\n');
  line = Trim(text.substr(0, end));
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  return true;
}

bool NextIniLine(std::string_view &text, IniLine &line) {
  std::string_view row;
  while (NextLine(text, row)) {
    line.number++;
    if (row.empty() || row.front() == ';' || row.front() == '#') continue;
    line.text = row;
    line.key = line.value = {};
    if (row.front() == '[') {
      line.kind = row.back() == ']' ? IniLine::Header : IniLine::Bad;
      return true;
    }
    size_t equals = row.find('=');
    line.kind = equals == std::string_view::npos ? IniLine::Bad : IniLine::Entry;
    if (line.kind == IniLine::Entry) {
      line.key = Trim(row.substr(0, equals));
      line.value = Trim(row.substr(equals + 1));
    }
    return true;
  }
  return false;
}

std::string_view NextWord(std::string_view &text) {
  text = Trim(text);
  size_t end = text.find(' ');
  std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  return word;
}

namespace {

void AppendUtf8(std::string &out, uint32_t c) {
  if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
  } else {
    out += char(0xF0 | ((c >> 18) & 0x07));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
  }
  out += char(0x80 | (c & 0x3F));
}

}  // namespace

std::string WideToNarrow(const wchar_t *text) {
  std::string out;
  for (; *text; ++text) {
    int32_t c = int32_t(*text);
    if (c < 0x80) out += char(c);
    else AppendUtf8(out, uint32_t(c) > 0x10FFFF ? 0xFFFDu : uint32_t(c));
  }
  return out;
}

std::wstring NarrowToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (char c : text) out += wchar_t(static_cast<signed char>(c));
  return out;
}

std::optional<int64_t> ParseUtc(std::string_view text) {
  std::tm parts{};
  char end = 0;
  int consumed = 0;
  std::string copy(text);
  if (text.size() != 20 ||
      sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
             &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &end, &consumed) != 7 ||
      end != 'Z' || consumed != 20)
    return std::nullopt;
  int year = parts.tm_year, month = parts.tm_mon, day = parts.tm_mday;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  time_t seconds = timegm(&parts);
  // timegm normalises 2027-02-30 into March: a date that moved was no date.
  if (parts.tm_year + 1900 != year || parts.tm_mon + 1 != month || parts.tm_mday != day) return std::nullopt;
  return int64_t(seconds);
}

std::string FormatUtc(int64_t seconds) {
  time_t when = time_t(seconds);
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::optional<uint64_t> ParseWhole(std::string_view text) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

char *PutDecimal(char *out, uint64_t value) {
  char digits[20];
  int n = 0;
  do digits[n++] = char('0' + value % 10);
  while ((value /= 10) != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}
