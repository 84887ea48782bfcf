// Zip archives through libarchive.
#include "packages/zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "base/files.h"
#include "base/status.h"
#include "packages/digest.h"

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

void WriteMemberData(archive *writer, const ArchiveMember &member) {
  if (member.file.empty()) {
    if (archive_write_data(writer, member.bytes.data(), member.bytes.size()) < 0) Fail(RELAY_ARCHIVE_ERROR);
    return;
  }
  FileDescriptor file{open(member.file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  while (size_t got = ReadSome(file.fd, buffer.get(), kCopyChunk))
    if (archive_write_data(writer, buffer.get(), got) < 0) Fail(RELAY_ARCHIVE_ERROR);
}

int64_t MemberSize(const ArchiveMember &member) {
  if (member.file.empty()) return int64_t(member.bytes.size());
  uint64_t size = 0;
  FileDescriptor file{open(member.file.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  off_t end = lseek(file.fd, 0, SEEK_END);
  if (end < 0) Fail(RELAY_IO_ERROR);
  size = uint64_t(end);
  return int64_t(size);
}

}  // namespace

void WriteZip(int fd, const std::vector<ArchiveMember> &members, bool compress) {
  Writer writer(archive_write_new());
  if (!writer) throw std::bad_alloc();
  Check(archive_write_set_format_zip(writer.get()));
  Check(archive_write_set_options(writer.get(), compress ? "zip:compression=deflate" : "zip:compression=store"));
  Check(archive_write_open_fd(writer.get(), fd));
  for (const ArchiveMember &member : members) {
    Entry entry(archive_entry_new());
    if (!entry) throw std::bad_alloc();
    archive_entry_set_pathname(entry.get(), member.name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_mtime(entry.get(), kMemberTime, 0);
    archive_entry_set_size(entry.get(), MemberSize(member));
    Check(archive_write_header(writer.get(), entry.get()));
    WriteMemberData(writer.get(), member);
    Check(archive_write_finish_entry(writer.get()));
  }
  Check(archive_write_close(writer.get()));
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

std::string CopyMemberTo(const std::string &archivePath, const std::string &name, int fd) {
  FileDescriptor file;
  Reader reader = OpenReader(archivePath, file);
  if (!SeekMember(reader.get(), name)) Fail(RELAY_NOT_FOUND);
  Sha256 digest = StartSha256();
  ForEachBlock(reader.get(), [&](const void *block, size_t size, la_int64_t) {
    UpdateSha256(digest, block, size);
    WriteAll(fd, block, size);
  });
  return FinishSha256(digest);
}
