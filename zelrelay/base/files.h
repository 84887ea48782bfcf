// File primitives: descriptors, whole-file reads, and writes that become
// visible only complete (temporary name, fsync, rename).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"

inline constexpr size_t kCopyChunk = 128 * 1024;

struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(FileDescriptor &&other) noexcept : fd(other.fd) { other.fd = -1; }
  FileDescriptor &operator=(FileDescriptor &&other) noexcept;
  ~FileDescriptor();
};

// A file being written under a temporary name beside its final path; removed
// unless committed.
struct TempFile {
  FileDescriptor file;
  std::string path;
  std::string target;
  TempFile() = default;
  TempFile(TempFile &&other) noexcept
      : file(std::move(other.file)), path(std::exchange(other.path, {})), target(std::move(other.target)) {}
  TempFile &operator=(TempFile &&) = delete;
  ~TempFile();
};

std::string JoinPath(std::string_view directory, std::string_view name);
std::string ParentOf(const std::string &path);
bool IsDirectory(const std::string &path);
bool IsWritableDirectory(const std::string &path);
bool IsRegularFile(const std::string &path);
// Whether anything is there, a dangling link too.
bool Exists(const std::string &path);
void MakeDirectory(const std::string &path);
// nullopt when the file does not exist; throws RELAY_IO_ERROR on other failures.
std::optional<std::string> ReadWholeFile(const std::string &path);
void WriteAll(int fd, const void *data, size_t size);
// A failed write's status: a full file system is told apart from other faults.
RelayStatus WriteFailure(int error);
// Fills buffer as far as the file goes; returns the bytes read.
size_t ReadSome(int fd, void *buffer, size_t size);
// Hands take up to size bytes at offset, in chunks as they are read, and
// returns how many there were: fewer when the file ends first. Throws
// RELAY_IO_ERROR when they cannot be read.
uint64_t ReadRange(int fd, uint64_t offset, uint64_t size, const std::function<void(const char *, size_t)> &take);

TempFile CreateTempFile(const std::string &target);
// Synced, renamed into place, and its directory synced.
void CommitTempFile(TempFile &temp);
// Renamed into place only: for writes made durable together by SyncAll.
void RenameTempFile(TempFile &temp);
// Makes every write to the file system that holds path durable: one call
// for a whole batch instead of one per file.
void SyncAll(const std::string &path);
void SyncDirectory(const std::string &path);
// rename, with a failure's status.
void Rename(const std::string &from, const std::string &to);
void WriteFileAtomically(const std::string &path, const std::string &content);
// Replaced in one rename too, but not made durable: for files whose readers
// check what they find, which a crash may leave empty.
void WriteFileUnsynced(const std::string &path, const std::string &content);
// The same, unless the file already holds exactly that.
void WriteFileIfChanged(const std::string &path, const std::string &content);
// Whether the file holds exactly that.
bool FileHolds(const std::string &path, const std::string &content);

// Text written out as it is made: pieces gather in text, and Spill hands
// them on once they fill a chunk, so that a large index is never whole in
// memory.
class TextOut {
 public:
  std::string text;
  void Spill() {
    if (text.size() >= kCopyChunk) Take();
  }

 protected:
  ~TextOut() = default;
  // Hands text on, leaving it empty, or keeps it.
  virtual void Take() = 0;
};

// A file's new content, written as it is made, that replaces the file only
// when it differs: while the bytes equal the file's they are compared, not
// written, so an unchanged file is only read. The new file is synced and
// renamed into place whole (CommitTempFile); one not committed is removed.
class FileReplacement final : public TextOut {
 public:
  // written, when given, is told every byte of the new file in order as it
  // is written, which is only once it differs from the file's.
  explicit FileReplacement(std::string path, std::function<void(std::string_view)> written = {});
  // Takes the rest of the text; whether it differs from what the file
  // holds. Nothing is replaced yet.
  bool Changed();
  // Whether the file was replaced: false when it held the text already.
  bool Commit();

 private:
  void Take() override;
  void Differ();
  void Write(const char *data, size_t size);
  std::string path_;
  std::function<void(std::string_view)> written_;
  FileDescriptor old_;  // read alongside while the bytes are equal
  uint64_t same_ = 0;   // bytes equal to the file's so far
  std::optional<TempFile> temp_;
};
// Written and synced beside path: for files put in place one right after
// the other (RenameTempFile), so that a reader finds them apart only
// between two renames.
TempFile PrepareFile(const std::string &path, const std::string &content);
// Removes a file; false when it existed and could not be removed.
bool RemoveFile(const std::string &path);

// Opens path for reading below the directory descriptor, never outside it:
// a link that leads out is RELAY_LINK_LEAVES_UPSTREAM, anything but a regular
// file RELAY_NOT_REGULAR_FILE, and nothing blocks (a FIFO is refused at once).
// An absent file gives no descriptor (fd -1). size, when given, receives
// the file's size.
FileDescriptor OpenBeneath(int directory, std::string_view path, uint64_t *size = nullptr);
FileDescriptor OpenDirectory(const std::string &path);
// The whole file, refused with tooLarge beyond limit bytes.
std::string ReadLimited(int fd, size_t limit, RelayStatus tooLarge);

// What a killed writer leaves behind: ".zelrelay-" temporaries and run folders.
inline constexpr std::string_view kTemporaryPrefix = ".zelrelay-";
// Removes them from a directory; only a writer holding the lock may.
void RemoveTemporaries(const std::string &directory);

