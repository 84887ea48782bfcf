// Zip archives through libarchive: writing packages and merged archives,
// reading members. Extraction has its own room, packages/extract.h.
#pragma once

#include <string>
#include <vector>

struct ArchiveMember {
  std::string name;
  std::string file;   // copied from this file when not empty
  std::string bytes;  // else these bytes
};

// Writes a zip on the descriptor; stored members when compress is false.
void WriteZip(int fd, const std::vector<ArchiveMember> &members, bool compress);
// The bytes of a member no larger than limit; throws RELAY_NOT_FOUND when absent.
std::string ReadMemberBytes(const std::string &archive, const std::string &name, size_t limit);
// Copies a member into fd and returns its SHA-256.
std::string CopyMemberTo(const std::string &archive, const std::string &name, int fd);
