// Zip archives through libarchive.
#include "packages/zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/digest.h"
#include "base/files.h"
#include "base/status.h"

namespace {

struct ReadDeleter {
  void operator()(archive *a) const { archive_read_free(a); }
};
struct WriteDeleter {
  void operator()(archive *a) const { archive_write_free(a); }
};
struct EntryDeleter {
  void operator()(archive_entry *e) const { archive_entry_free(e); }
};
using Reader = std::unique_ptr<archive, ReadDeleter>;
using Writer = std::unique_ptr<archive, WriteDeleter>;
using Entry = std::unique_ptr<archive_entry, EntryDeleter>;

// Fixed member times keep published archives byte-identical between runs.
constexpr time_t kMemberTime = 946684800;

void Check(int result) {
  if (result < ARCHIVE_WARN) Fail(RELAY_ARCHIVE_ERROR);
}

Reader OpenReader(int fd) {
  Reader reader(archive_read_new());
  if (!reader) throw std::bad_alloc();
  archive_read_support_format_all(reader.get());
  archive_read_support_filter_all(reader.get());
  if (lseek(fd, 0, SEEK_SET) != 0) Fail(RELAY_IO_ERROR);
  Check(archive_read_open_fd(reader.get(), fd, kCopyChunk));
  return reader;
}

Reader OpenReader(const std::string &path, FileDescriptor &file) {
  file = FileDescriptor{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  return OpenReader(file.fd);
}

bool NextHeader(archive *reader, archive_entry **entry) {
  int result = archive_read_next_header(reader, entry);
  if (result == ARCHIVE_EOF) return false;
  Check(result);
  return true;
}

// Counts what libarchive writes, so each member's data offset is known,
// gathers its many small writes into few, and keeps the errno of a failed
// write, which libarchive would blur.
struct Output {
  int fd;
  uint64_t written = 0;  // offered so far, buffered or not
  int error = 0;
  std::string buffer;

  bool Flush() {
    for (size_t at = 0; at < buffer.size();) {
      ssize_t put = write(fd, buffer.data() + at, buffer.size() - at);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) {
        error = errno;
        return false;
      }
      at += size_t(put);
    }
    buffer.clear();
    return true;
  }
};

la_ssize_t WriteOut(archive *, void *data, const void *bytes, size_t size) {
  auto *out = static_cast<Output *>(data);
  out->buffer.append(static_cast<const char *>(bytes), size);
  out->written += size;
  if (out->buffer.size() >= kCopyChunk && !out->Flush()) return -1;
  return la_ssize_t(size);
}

void CheckWrite(int result, const Output &out) {
  if (result >= ARCHIVE_WARN) return;
  if (out.error != 0) Fail(WriteFailure(out.error));
  Fail(RELAY_ARCHIVE_ERROR);
}

uint64_t MemberSize(const ArchiveMember &member, int file) {
  if (file < 0) return member.bytes.size();
  if (member.size != kRestOfFile) return member.size;
  struct stat info;
  if (fstat(file, &info) != 0 || uint64_t(info.st_size) < member.offset) Fail(RELAY_IO_ERROR);
  return uint64_t(info.st_size) - member.offset;
}

void WriteMemberData(archive *writer, const ArchiveMember &member, int file, uint64_t size, const Output &out) {
  Sha256 digest = StartSha256();
  auto put = [&](const void *data, size_t length) {
    if (!member.sha256.empty()) UpdateSha256(digest, data, length);
    if (archive_write_data(writer, data, length) < 0) CheckWrite(ARCHIVE_FATAL, out);
  };
  if (file < 0) {
    put(member.bytes.data(), member.bytes.size());
  } else if (ReadRange(file, member.offset, size, put) != size) {
    Fail(RELAY_IO_ERROR);
  }
  if (!member.sha256.empty() && FinishSha256(digest) != member.sha256) Fail(RELAY_PACKAGE_MISMATCH);
}

}  // namespace

std::vector<uint64_t> WriteZip(int fd, const std::vector<ArchiveMember> &members, Compression compression) {
  Writer writer(archive_write_new());
  if (!writer) throw std::bad_alloc();
  Output out;
  out.fd = fd;
  Check(archive_write_set_format_zip(writer.get()));
  Check(archive_write_set_options(writer.get(), compression == Compression::Deflated ? "zip:compression=deflate" : "zip:compression=store"));
  // Unblocked, so a header is on the descriptor when its call returns.
  Check(archive_write_set_bytes_per_block(writer.get(), 0));
  CheckWrite(archive_write_open2(writer.get(), &out, nullptr, WriteOut, nullptr, nullptr), out);
  std::vector<uint64_t> offsets;
  for (const ArchiveMember &member : members) {
    FileDescriptor opened;
    if (!member.file.empty()) {
      opened = FileDescriptor{open(member.file.c_str(), O_RDONLY | O_CLOEXEC)};
      if (opened.fd < 0) Fail(errno == ENOENT ? RELAY_PACKAGE_MISSING : RELAY_IO_ERROR);
    }
    int file = opened.fd;
    uint64_t size = MemberSize(member, file);
    Entry entry(archive_entry_new());
    if (!entry) throw std::bad_alloc();
    archive_entry_set_pathname(entry.get(), member.name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_mtime(entry.get(), kMemberTime, 0);
    archive_entry_set_size(entry.get(), la_int64_t(size));
    CheckWrite(archive_write_header(writer.get(), entry.get()), out);
    offsets.push_back(out.written);
    WriteMemberData(writer.get(), member, file, size, out);
    CheckWrite(archive_write_finish_entry(writer.get()), out);
  }
  CheckWrite(archive_write_close(writer.get()), out);
  if (!out.Flush()) CheckWrite(ARCHIVE_FATAL, out);
  return offsets;
}

namespace {

// Positions the reader on the member's data; false when there is none.
bool SeekMember(archive *reader, const std::string &name) {
  archive_entry *entry = nullptr;
  while (NextHeader(reader, &entry))
    if (name == archive_entry_pathname(entry)) return true;
  return false;
}

template <class Sink>
void ForEachBlock(archive *reader, Sink sink) {
  const void *block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  for (;;) {
    int result = archive_read_data_block(reader, &block, &size, &offset);
    if (result == ARCHIVE_EOF) return;
    Check(result);
    sink(block, size, offset);
  }
}

}  // namespace

std::string ReadMemberBytes(const std::string &archivePath, const std::string &name, size_t limit) {
  FileDescriptor file;
  Reader reader = OpenReader(archivePath, file);
  if (!SeekMember(reader.get(), name)) Fail(RELAY_NOT_FOUND);
  std::string bytes;
  ForEachBlock(reader.get(), [&](const void *block, size_t size, la_int64_t) {
    if (bytes.size() + size > limit) Fail(RELAY_ARCHIVE_ERROR);
    bytes.append(static_cast<const char *>(block), size);
  });
  return bytes;
}

namespace {

uint16_t Little16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }

// The local header that follows a member's data: directly, or after a data
// descriptor of 12 to 24 bytes, with or without its signature.
bool FindLocalHeader(int fd, uint64_t after, uint64_t &at, unsigned char (&header)[30]) {
  for (uint64_t skip : {0, 12, 16, 20, 24}) {
    if (pread(fd, header, sizeof header, off_t(after + skip)) == ssize_t(sizeof header) &&
        memcmp(header, "PK\3\4", 4) == 0) {
      at = after + skip;
      return true;
    }
  }
  return false;
}

}  // namespace

// libarchive reads the members in file order but does not tell where their
// data lies; for stored members it follows from the local headers.
std::map<std::string, MemberSpan> StoredMemberSpans(const std::string &archivePath) {
  FileDescriptor file{open(archivePath.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  Reader reader(archive_read_new());
  if (!reader) throw std::bad_alloc();
  archive_read_support_format_zip_streamable(reader.get());
  Check(archive_read_open_fd(reader.get(), file.fd, kCopyChunk));
  std::map<std::string, MemberSpan> spans;
  archive_entry *entry = nullptr;
  for (uint64_t next = 0; NextHeader(reader.get(), &entry);) {
    uint64_t at = 0;
    unsigned char header[30];
    if (!FindLocalHeader(file.fd, next, at, header) || Little16(header + 8) != 0) Fail(RELAY_ARCHIVE_ERROR);
    uint64_t data = at + sizeof header + Little16(header + 26) + Little16(header + 28);
    uint64_t size = uint64_t(archive_entry_size(entry));
    spans[archive_entry_pathname(entry)] = MemberSpan{data, size};
    next = data + size;
  }
  return spans;
}
