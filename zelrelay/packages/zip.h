// Zip archives through libarchive: writing packages and merged archives,
// reading members. Extraction has its own room, packages/extract.h.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

inline constexpr uint64_t kRestOfFile = UINT64_MAX;

struct ArchiveMember {
  std::string name;
  std::string file;   // copied from this file when not empty
  std::string bytes;  // else these bytes
  uint64_t offset = 0;          // where the data starts in file
  uint64_t size = kRestOfFile;  // how much of file it takes
  std::string sha256;           // when set, what the data must hash to

  ArchiveMember(std::string member, std::string from, std::string content)
      : name(std::move(member)), file(std::move(from)), bytes(std::move(content)) {}
};

enum class Compression { Stored, Deflated };

// Writes a zip on the descriptor. Returns where each member's data starts,
// so stored members can be read back as plain byte ranges. A failed write
// throws RELAY_NO_SPACE or RELAY_IO_ERROR, a member unlike its digest
// RELAY_PACKAGE_MISMATCH.
std::vector<uint64_t> WriteZip(int fd, const std::vector<ArchiveMember> &members, Compression compression);

struct MemberSpan {
  uint64_t offset;  // of the data
  uint64_t size;
};
// Where the data of each stored member of an archive lies, by member name.
std::map<std::string, MemberSpan> StoredMemberSpans(const std::string &archive);
// The bytes of a member no larger than limit; throws RELAY_NOT_FOUND when absent.
std::string ReadMemberBytes(const std::string &archive, const std::string &name, size_t limit);
