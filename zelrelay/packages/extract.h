// Extracting one package: zip only, regular files and directories only,
// staged inside the destination and moved into place only whole.
#pragma once

#include <cstdint>
#include <string>

// The bytes of one zip package inside an open file: a package file, or a stored member of a merged archive.
struct PackageRange {
  int fd;
  uint64_t offset;
  uint64_t size;
};

// True when the range has this SHA-256 (lower-case hex), read through the descriptor itself.
bool RangeHasDigest(const PackageRange &range, std::string_view sha256);
// Extracts the package into destination, an existing directory; all or nothing.
// Throws RELAY_NOT_A_ZIP, RELAY_UNSAFE_ARCHIVE_ENTRY (a path that climbs or is
// absolute), RELAY_UNSUPPORTED_MEMBER (links, special files), RELAY_ARCHIVE_ERROR
// (bad CRC, sizes that lie), RELAY_NO_SPACE, RELAY_NAME_TOO_LONG,
// RELAY_BAD_DESTINATION (a file where the destination has a directory, or the
// reverse) or RELAY_IO_ERROR.
void ExtractPackage(const PackageRange &range, const std::string &destination);
