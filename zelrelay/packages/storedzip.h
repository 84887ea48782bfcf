// Zip archives of stored members only, as merged archives are: written here
// rather than through libarchive so that a member whose bytes are known
// good, and whose CRC-32 is known, is copied by the kernel (copy_file_range)
// instead of passing through user space, or cloned where the file system
// shares extents: the data of a member copied from a file starts on a block.
// Zip64 records appear only where sizes, offsets or the member count need
// them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct StoredMember {
  std::string name;
  std::string file;   // the bytes come from this file...
  std::string bytes;  // ...or, when file is empty, are these
  uint64_t offset = 0, size = 0;
  std::optional<uint32_t> crc;  // known: copied as it is; else read, checked and summed
  std::string sha256;           // when set and the bytes are read, what they must hash to
};

// Writes the archive on fd from its start; returns where each member's data
// begins. Throws RELAY_PACKAGE_MISSING for a member file that is gone,
// RELAY_PACKAGE_MISMATCH for bytes unlike their digest, RELAY_NO_SPACE or
// RELAY_IO_ERROR for a failed write.
std::vector<uint64_t> WriteStoredZip(int fd, const std::vector<StoredMember> &members);

// The CRC-32 an archive records for the stored member whose data lies at
// offset: from its data descriptor, or from its local header, padded or
// not; nullopt when neither says.
std::optional<uint32_t> RecordedCrc(int fd, uint64_t offset, uint64_t size, size_t nameLength);

uint32_t Crc32(uint32_t crc, const void *data, size_t size);
