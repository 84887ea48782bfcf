// Path policy and the relay's string forms.
#include "paths.h"

#include <array>
#include <string_view>

#include "status.h"

bool IsSafeRelativePath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool IsSafePackagePath(std::string_view path) {
  constexpr std::string_view kPrefix = "packages/";
  return path.substr(0, kPrefix.size()) == kPrefix && IsSafeRelativePath(path) && path.size() > kPrefix.size();
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

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

constexpr std::array<std::string_view, 5> kNetworkSchemes = {"http://", "https://", "ftp://", "ftps://", "sftp://"};

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

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

std::string SourceDirectory(const wchar_t *url) {
  if (url == nullptr || *url == 0) Fail(RELAY_BAD_SOURCE);
  std::string text = WideToNarrow(url);
  for (std::string_view scheme : kNetworkSchemes)
    if (StartsWith(text, scheme)) Fail(RELAY_NETWORK_SOURCE);
  if (StartsWith(text, "file://")) {
    std::string_view rest = std::string_view(text).substr(7);
    if (StartsWith(rest, "localhost/")) rest.remove_prefix(9);
    if (!StartsWith(rest, "/")) Fail(RELAY_BAD_SOURCE);
    return PercentDecoded(rest);
  }
  if (text.find("://") != std::string::npos) Fail(RELAY_BAD_SOURCE);
  return text;
}
