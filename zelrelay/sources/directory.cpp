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

constexpr std::array<std::string_view, 3> kNetworkSchemes = {"ftp", "ftps", "sftp"};

}  // namespace

std::string SourceDirectory(const std::string &url) {
  std::string scheme = SchemeOf(url);
  if (scheme.empty()) return url;
  for (std::string_view network : kNetworkSchemes)
    if (scheme == network) Fail(RELAY_NETWORK_SOURCE);
  if (scheme != "file") Fail(RELAY_BAD_SOURCE);
  std::string_view rest = std::string_view(url).substr(scheme.size() + 3);
  if (rest.starts_with("localhost/")) rest.remove_prefix(9);
  if (!rest.starts_with('/')) Fail(RELAY_MALFORMED_URL);  // names another host
  return PercentDecoded(rest);
}

DirectorySource::DirectorySource(std::string directory)
    : directory_(std::move(directory)), root_(OpenDirectory(directory_)) {}

std::optional<Index> DirectorySource::ReadIndex() {
  if (root_.fd < 0) return std::nullopt;
  std::optional<Index> index = ReadIndexAt(root_.fd, ZELRELAY_INDEX_FILE);
  if (!index || !index->components.empty()) return index;
  std::optional<Index> merged = ReadIndexAt(root_.fd, ZELRELAY_MERGED_INDEX);
  return merged ? merged : index;
}

namespace {

// Copies from the start: a local copy is cheap enough to make whole again.
RelayStatus CopyFrom(int root, const ComponentEntry &entry, ByteSink &sink, const std::string &origin) {
  uint64_t size = 0;
  FileDescriptor input = root < 0 ? FileDescriptor{} : OpenBeneath(root, entry.path, &size);
  if (input.fd < 0) return RELAY_PACKAGE_MISSING;
  if (!entry.InArchive() && size != entry.size) return RELAY_PACKAGE_MISMATCH;
  sink.Begin(ByteSink::Start::Afresh, origin, {});
  // A short member is no fault here: the size check tells.
  ReadRange(input.fd, entry.InArchive() ? entry.offset : 0, entry.size,
            [&](const char *data, size_t got) { sink.Receive(data, got); });
  return RELAY_OK;
}

}  // namespace

void DirectorySource::Fetch(const ComponentEntry &entry, ByteSink &sink, Network &,
                            std::function<void(RelayStatus)> done) {
  RelayStatus status;
  try {
    status = CopyFrom(root_.fd, entry, sink, JoinPath(directory_, entry.path));
  } catch (const RelayError &e) {
    if (e.status == RELAY_CANCELLED) throw;
    status = e.status;
  }
  done(status);
}

std::optional<std::string> DirectorySource::FetchSignature(const ComponentEntry &entry) {
  if (root_.fd < 0 || entry.InArchive()) return std::nullopt;
  FileDescriptor input = OpenBeneath(root_.fd, std::string(entry.path) + ".sig");
  if (input.fd < 0) return std::nullopt;
  return ReadLimited(input.fd, kSignatureLimit, RELAY_PACKAGE_MISMATCH);
}

std::optional<std::string> DirectorySource::ReadText(const std::string &name, TextForm) {
  FileDescriptor file = root_.fd < 0 ? FileDescriptor{} : OpenBeneath(root_.fd, name);
  if (file.fd < 0) return std::nullopt;
  return ReadLimited(file.fd, kIndexLimit, RELAY_INDEX_TOO_LARGE);
}

bool DirectorySource::IsDirectory(const std::string &path) const {
  struct stat mine, theirs;
  return root_.fd >= 0 && fstat(root_.fd, &mine) == 0 && stat(path.c_str(), &theirs) == 0 &&
         mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}
