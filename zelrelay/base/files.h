// File primitives: descriptors, whole-file reads, and writes that become
// visible only complete (temporary name, fsync, rename).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

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

std::string JoinPath(const std::string &directory, const std::string &name);
std::string ParentOf(const std::string &path);
bool IsDirectory(const std::string &path);
bool IsWritableDirectory(const std::string &path);
bool IsRegularFile(const std::string &path);
void MakeDirectory(const std::string &path);
// nullopt when the file does not exist; throws RELAY_IO_ERROR on other failures.
std::optional<std::string> ReadWholeFile(const std::string &path);
void WriteAll(int fd, const void *data, size_t size);
// Fills buffer as far as the file goes; returns the bytes read.
size_t ReadSome(int fd, void *buffer, size_t size);

TempFile CreateTempFile(const std::string &target);
void CommitTempFile(TempFile &temp);
void WriteFileAtomically(const std::string &path, const std::string &content);
// A read-write file in directory that has no name, so nothing is left behind
// when it closes, whatever happens.
FileDescriptor CreateScratchFile(const std::string &directory);
// Removes a file; false when it existed and could not be removed.
bool RemoveFile(const std::string &path);
