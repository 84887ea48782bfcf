// An upstream repository on disk.
#include "sources/directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string_view>

#include "base/files.h"
#include "base/status.h"
#include "base/text.h"
#include "repository/merge.h"

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

// Detached signatures are small; a larger one is no signature of ours.
constexpr size_t kSignatureLimit = size_t(1) << 20;

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

DirectorySource::DirectorySource(std::string directory)
    : directory_(std::move(directory)), root_(OpenDirectory(directory_)) {}

std::optional<Index> DirectorySource::ReadIndex() {
  if (root_.fd < 0) return std::nullopt;
  std::optional<Index> index = ReadIndexAt(root_.fd, ZELRELAY_INDEX_FILE);
  if (!index || !index->components.empty()) return index;
  std::optional<Index> merged = ReadIndexAt(root_.fd, kMergedIndex);
  return merged ? merged : index;
}

void DirectorySource::FetchPackage(const ComponentEntry &entry, PackageSink &sink) {
  FileDescriptor input = root_.fd < 0 ? FileDescriptor{} : OpenBeneath(root_.fd, entry.path);
  if (input.fd < 0) Fail(RELAY_PACKAGE_MISSING);
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  if (!entry.InArchive()) {
    while (size_t got = ReadSome(input.fd, buffer.get(), kCopyChunk)) sink.Receive(buffer.get(), got);
    return;
  }
  for (uint64_t done = 0; done < entry.size;) {
    ssize_t got = pread(input.fd, buffer.get(), size_t(std::min<uint64_t>(kCopyChunk, entry.size - done)),
                        off_t(entry.offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail(RELAY_IO_ERROR);
    if (got == 0) Fail(RELAY_PACKAGE_MISMATCH);  // the archive is shorter than its index says
    sink.Receive(buffer.get(), size_t(got));
    done += uint64_t(got);
  }
}

std::optional<std::string> DirectorySource::FetchSignature(const ComponentEntry &entry) {
  if (root_.fd < 0 || entry.InArchive()) return std::nullopt;
  FileDescriptor input = OpenBeneath(root_.fd, entry.path + ".sig");
  if (input.fd < 0) return std::nullopt;
  return ReadLimited(input.fd, kSignatureLimit, RELAY_PACKAGE_MISMATCH);
}

bool DirectorySource::IsDirectory(const std::string &path) const {
  struct stat mine, theirs;
  return root_.fd >= 0 && fstat(root_.fd, &mine) == 0 && stat(path.c_str(), &theirs) == 0 &&
         mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}
