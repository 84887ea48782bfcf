// Zip archives of stored members only.
#include "packages/storedzip.h"

#include <fcntl.h>
#include <unistd.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/digest.h"
#include "base/files.h"
#include "base/status.h"

namespace {

constexpr uint32_t kLocalHeader = 0x04034b50, kCentralHeader = 0x02014b50, kEnd = 0x06054b50;
constexpr uint32_t kZip64End = 0x06064b50, kZip64Locator = 0x07064b50, kDescriptor = 0x08074b50;
constexpr uint32_t kMost32 = 0xFFFFFFFF;
constexpr uint16_t kMost16 = 0xFFFF;
// The time every member carries, as in the packages: 2000-01-01 00:00.
constexpr uint16_t kDosDate = (20 << 9) | (1 << 5) | 1, kDosTime = 0;
constexpr uint16_t kUnix = 3 << 8, kVersion = 20, kVersion64 = 45;
constexpr uint32_t kRegularFile = 0100644u << 16;
// The block size of the file systems that share extents (XFS with reflink,
// btrfs): copy_file_range clones a member's blocks instead of copying them
// only when its data starts at such a boundary here as in its source file,
// so a repository need not hold every package twice.
constexpr uint64_t kAlignment = 4096;
// Pads a local header to that boundary; an ID no other writer uses, holding
// zeros, which readers skip like any extra field they do not know.
constexpr uint16_t kPaddingField = 0xA11E;
constexpr uint64_t kLocalFixed = 30, kZip64Local = 20, kFieldHeader = 4;
// The longest extra field a local header of this writer may carry: zip64
// sizes, and padding to a block.
constexpr uint64_t kMostExtra = kZip64Local + kFieldHeader + kAlignment - 1;

uint16_t Little16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Little32(const unsigned char *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Little64(const unsigned char *p) { return Little32(p) | uint64_t(Little32(p + 4)) << 32; }

// Writes in order through a buffer, counting where it is.
struct Output {
  int fd;
  uint64_t at = 0;
  std::string buffer;

  void Bytes(const void *data, size_t size) {
    buffer.append(static_cast<const char *>(data), size);
    at += size;
    if (buffer.size() >= kCopyChunk) Flush();
  }
  void U16(uint16_t v) {
    unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)};
    Bytes(b, 2);
  }
  void U32(uint32_t v) {
    U16(uint16_t(v));
    U16(uint16_t(v >> 16));
  }
  void U64(uint64_t v) {
    U32(uint32_t(v));
    U32(uint32_t(v >> 32));
  }
  void Zeros(uint64_t count) {
    static const char zeros[kAlignment] = {};
    for (uint64_t now; count > 0; count -= now) {
      now = std::min<uint64_t>(count, sizeof zeros);
      Bytes(zeros, size_t(now));
    }
  }
  void Flush() {
    WriteAll(fd, buffer.data(), buffer.size());
    buffer.clear();
  }
  // The kernel copies, or clones where the file system shares extents;
  // where it cannot between these files, user space does. A short count is
  // usual: a clone stops at the last whole block of a range that does not
  // end its file, and the next call copies the rest.
  void Copy(int from, uint64_t offset, uint64_t size) {
    Flush();
    loff_t in = loff_t(offset);
    for (uint64_t left = size; left > 0;) {
      ssize_t done = copy_file_range(from, &in, fd, nullptr, size_t(std::min<uint64_t>(left, 1 << 30)), 0);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        CopyByHand(from, uint64_t(in), left);
        break;
      }
      if (done < 0) Fail(WriteFailure(errno));
      if (done == 0) Fail(RELAY_PACKAGE_MISMATCH);  // the file ends early
      left -= uint64_t(done);
    }
    at += size;
  }

 private:
  void CopyByHand(int from, uint64_t offset, uint64_t size) {
    auto put = [&](const char *data, size_t got) { WriteAll(fd, data, got); };
    if (ReadRange(from, offset, size, put) != size) Fail(RELAY_PACKAGE_MISMATCH);
  }
};

struct Written {
  std::string name;
  uint32_t crc;
  uint64_t size, header;
};

// Reads a member's bytes to learn their CRC-32, and to check their digest.
uint32_t ReadThrough(int file, const StoredMember &member) {
  uint32_t crc = 0;
  Sha256 digest = StartSha256();
  auto sum = [&](const char *data, size_t got) {
    crc = Crc32(crc, data, got);
    if (!member.sha256.empty()) UpdateSha256(digest, data, got);
  };
  if (ReadRange(file, member.offset, member.size, sum) != member.size) Fail(RELAY_PACKAGE_MISMATCH);
  if (!member.sha256.empty() && FinishSha256(digest) != member.sha256) Fail(RELAY_PACKAGE_MISMATCH);
  return crc;
}

// Aligned, the member's data starts at a multiple of kAlignment.
void LocalHeader(Output &out, const std::string &name, uint32_t crc, uint64_t size, bool aligned) {
  bool big = size >= kMost32;
  uint64_t zip64 = big ? kZip64Local : 0, padding = 0;
  if (aligned) {
    uint64_t data = out.at + kLocalFixed + name.size() + zip64;
    padding = (kAlignment - data % kAlignment) % kAlignment;
    if (padding != 0 && padding < kFieldHeader) padding += kAlignment;  // the field's own header needs room
  }
  out.U32(kLocalHeader);
  out.U16(big ? kVersion64 : kVersion);
  out.U16(0);  // flags: sizes and CRC come before the data
  out.U16(0);  // stored
  out.U16(kDosTime);
  out.U16(kDosDate);
  out.U32(crc);
  out.U32(big ? kMost32 : uint32_t(size));
  out.U32(big ? kMost32 : uint32_t(size));
  out.U16(uint16_t(name.size()));
  out.U16(uint16_t(zip64 + padding));
  out.Bytes(name.data(), name.size());
  if (big) {
    out.U16(1);
    out.U16(16);
    out.U64(size);
    out.U64(size);
  }
  if (padding != 0) {
    out.U16(kPaddingField);
    out.U16(uint16_t(padding - kFieldHeader));
    out.Zeros(padding - kFieldHeader);
  }
}

void CentralHeader(Output &out, const Written &w) {
  bool bigSize = w.size >= kMost32, bigAt = w.header >= kMost32;
  uint16_t extra = uint16_t((bigSize ? 16 : 0) + (bigAt ? 8 : 0));
  out.U32(kCentralHeader);
  out.U16(kUnix | kVersion64);
  out.U16(extra ? kVersion64 : kVersion);
  out.U16(0);
  out.U16(0);
  out.U16(kDosTime);
  out.U16(kDosDate);
  out.U32(w.crc);
  out.U32(bigSize ? kMost32 : uint32_t(w.size));
  out.U32(bigSize ? kMost32 : uint32_t(w.size));
  out.U16(uint16_t(w.name.size()));
  out.U16(extra ? uint16_t(extra + 4) : 0);
  out.U16(0);  // comment
  out.U16(0);  // disk
  out.U16(0);  // internal attributes
  out.U32(kRegularFile);
  out.U32(bigAt ? kMost32 : uint32_t(w.header));
  out.Bytes(w.name.data(), w.name.size());
  if (extra) {
    out.U16(1);
    out.U16(extra);
    if (bigSize) {
      out.U64(w.size);
      out.U64(w.size);
    }
    if (bigAt) out.U64(w.header);
  }
}

void End(Output &out, uint64_t count, uint64_t directory, uint64_t directorySize) {
  bool big = count >= kMost16 || directory >= kMost32 || directorySize >= kMost32;
  if (big) {
    uint64_t record = out.at;
    out.U32(kZip64End);
    out.U64(44);
    out.U16(kUnix | kVersion64);
    out.U16(kVersion64);
    out.U32(0);
    out.U32(0);
    out.U64(count);
    out.U64(count);
    out.U64(directorySize);
    out.U64(directory);
    out.U32(kZip64Locator);
    out.U32(0);
    out.U64(record);
    out.U32(1);
  }
  out.U32(kEnd);
  out.U16(0);
  out.U16(0);
  out.U16(big ? kMost16 : uint16_t(count));
  out.U16(big ? kMost16 : uint16_t(count));
  out.U32(big ? kMost32 : uint32_t(directorySize));
  out.U32(big ? kMost32 : uint32_t(directory));
  out.U16(0);
}

}  // namespace

// libdeflate's CRC-32 folds with carry-less multiplication where the
// processor has it: about four times zlib's here, on every byte copied.
uint32_t Crc32(uint32_t crc, const void *data, size_t size) { return libdeflate_crc32(crc, data, size); }

std::vector<uint64_t> WriteStoredZip(int fd, const std::vector<StoredMember> &members) {
  Output out;
  out.fd = fd;
  std::vector<Written> written;
  std::vector<uint64_t> offsets;
  for (const StoredMember &member : members) {
    FileDescriptor file;
    uint64_t size = member.file.empty() ? member.bytes.size() : member.size;
    std::optional<uint32_t> crc = member.crc;
    if (member.file.empty()) {
      crc = Crc32(0, member.bytes.data(), member.bytes.size());
    } else {
      file = FileDescriptor{open(member.file.c_str(), O_RDONLY | O_CLOEXEC)};
      if (file.fd < 0) Fail(errno == ENOENT ? RELAY_PACKAGE_MISSING : RELAY_IO_ERROR);
      if (!crc) crc = ReadThrough(file.fd, member);
    }
    written.push_back(Written{member.name, *crc, size, out.at});
    LocalHeader(out, member.name, *crc, size, !member.file.empty());
    offsets.push_back(out.at);
    if (member.file.empty()) out.Bytes(member.bytes.data(), member.bytes.size());
    else out.Copy(file.fd, member.offset, size);
  }
  uint64_t directory = out.at;
  for (const Written &w : written) CentralHeader(out, w);
  End(out, written.size(), directory, out.at - directory);
  out.Flush();
  return offsets;
}

namespace {

// Whether a local header's extra field is whole records that say nothing
// against a stored member of this size.
bool ExtraFits(const unsigned char *extra, size_t length, uint64_t size) {
  for (size_t at = 0; at < length;) {
    if (length - at < kFieldHeader) return false;
    uint16_t id = Little16(extra + at), field = Little16(extra + at + 2);
    at += kFieldHeader;
    if (field > length - at) return false;
    bool sizes = id == 1 && size >= kMost32 && field >= 16;
    if (sizes && (Little64(extra + at) != size || Little64(extra + at + 8) != size)) return false;
    at += field;
  }
  return true;
}

}  // namespace

// A padding field puts the local header at a distance only the header
// tells, so it is looked for backwards from the data. Only a header that
// puts the data exactly at offset, records this size stored, and whose extra
// records end there counts: bytes of the member before that look like a
// header are passed over.
std::optional<uint32_t> RecordedCrc(int fd, uint64_t offset, uint64_t size, size_t nameLength) {
  unsigned char after[16];
  if (pread(fd, after, sizeof after, off_t(offset + size)) == ssize_t(sizeof after) &&
      Little32(after) == kDescriptor)
    return Little32(after + 4);
  if (offset < kLocalFixed + nameLength) return std::nullopt;
  size_t reach = size_t(std::min<uint64_t>(offset, kLocalFixed + nameLength + kMostExtra));
  std::vector<unsigned char> window(reach);
  if (pread(fd, window.data(), reach, off_t(offset - reach)) != ssize_t(reach)) return std::nullopt;
  uint32_t recorded = size >= kMost32 ? kMost32 : uint32_t(size);
  for (size_t extra = 0; extra + kLocalFixed + nameLength <= reach; ++extra) {
    const unsigned char *header = window.data() + reach - extra - nameLength - kLocalFixed;
    if (Little32(header) == kLocalHeader && (header[6] & 8) == 0 && Little16(header + 8) == 0 &&
        Little32(header + 18) == recorded && Little32(header + 22) == recorded &&
        Little16(header + 26) == nameLength && Little16(header + 28) == extra &&
        ExtraFits(header + kLocalFixed + nameLength, extra, size))
      return Little32(header + 14);
  }
  return std::nullopt;
}
