// A package coming over the network is written to "<package>.partial"
// beside its final name, so an interrupted transfer goes on where it
// stopped, in the same run or a later one. The partial carries what going on
// needs in an extended attribute: the size and digest the whole must have,
// where the bytes came from, and the validator (ETag or Last-Modified) they
// came with.
// A partial never shows under the package's name; it is removed once
// complete, or once the upstream no longer offers what it was for.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "base/files.h"
#include "packages/digest.h"
#include "repository/index.h"
#include "sources/source.h"

inline constexpr const char *kPartialSuffix = ".partial";
// Smaller packages start over when cut: going on would save less than
// recording where they stood costs.
inline constexpr uint64_t kWorthResuming = uint64_t(1) << 20;

class PartialFile final : public PackageSink {
 public:
  // Keeps what an earlier try left only when it was for these very bytes;
  // found: whether there is a partial there at all.
  PartialFile(const std::string &target, const ComponentEntry &entry, bool found);
  // Bytes that no later try could go on from are not kept.
  ~PartialFile();
  PartialFile(const PartialFile &) = delete;
  PartialFile &operator=(const PartialFile &) = delete;
  uint64_t Have() const override { return have_; }
  // The URL and validator the bytes so far came with; empty: start afresh.
  const std::string &Origin() const override { return url_; }
  const std::string &Validator() const override { return validator_; }

  // An answer is arriving: it goes on from Have() when resumed, else from
  // the start. Records what a later try needs.
  void Begin(bool resumed, const std::string &url, const std::string &validator) override;
  // Throws RELAY_PACKAGE_MISMATCH beyond the size the index gave.
  void Receive(const void *data, size_t size) override;
  // Checks the whole file's size and digest, or removes it and throws
  // RELAY_PACKAGE_MISMATCH. A complete partial stays under its own name:
  // the duplication gives it the package's name once it is durable.
  void Complete();
  const std::string &Path() const { return path_; }
  uint32_t Crc() const { return crc_; }

 private:
  std::string path_;
  uint64_t size_;
  std::string sha256_;
  FileDescriptor file_;
  uint64_t have_ = 0;
  Sha256 digest_;
  uint32_t crc_ = 0;  // CRC-32, which a merged archive records of each member
  std::string url_, validator_;
  bool completed_ = false;

  void Restart();
  // Adds bytes already in the file to the digest and the CRC.
  uint64_t Sum(uint64_t offset, uint64_t size);
};

// The name in the package directory of a package's partial.
std::string PartialName(const std::string &packagePath);
// The names of the partials in the repository's package directory.
std::unordered_set<std::string> PartialsIn(const std::string &repository);
// Removes those of the partials found (PartialsIn) whose packages the
// upstream no longer offers. A partial made since is for one it offers.
void RemoveObsoletePartials(const std::string &repository, const Index &upstream,
                            const std::unordered_set<std::string> &found);
