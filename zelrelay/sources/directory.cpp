// An upstream repository on disk.
#include "sources/directory.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string_view>

#include "base/files.h"
#include "base/status.h"
#include "base/text.h"

namespace {

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

std::optional<Index> DirectorySource::ReadIndex() { return ::ReadIndex(directory_); }

void DirectorySource::FetchPackage(const ComponentEntry &entry, PackageSink &sink) {
  FileDescriptor input{open(JoinPath(directory_, entry.path).c_str(), O_RDONLY | O_CLOEXEC)};
  if (input.fd < 0) Fail(errno == ENOENT ? RELAY_PACKAGE_MISSING : RELAY_IO_ERROR);
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  while (size_t got = ReadSome(input.fd, buffer.get(), kCopyChunk)) sink.Receive(buffer.get(), got);
}

std::optional<std::string> DirectorySource::FetchSignature(const ComponentEntry &entry) {
  try {
    return ReadWholeFile(JoinPath(directory_, entry.path) + ".sig");
  } catch (const RelayError &) {
    return std::nullopt;
  }
}
