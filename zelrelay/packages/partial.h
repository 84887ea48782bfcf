// A package being copied, from a directory or over the network, is written
// to "<package>.partial" beside its final name. When a copy breaks off, bytes
// a later try can go on from (in the same run or the next) stay there, with
// what going on needs in an extended attribute: the size and digest the
// whole must have, where the bytes came from, and the validator (ETag or
// Last-Modified) they came with. A complete partial keeps its own name until
// the duplication has made it durable and renames it into place; one whose
// package the upstream no longer offers is removed by a later run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include "base/digest.h"
#include "base/files.h"
#include "base/index.h"
#include "packages/sink.h"
#include "packages/summer.h"

inline constexpr const char *kPartialSuffix = ".partial";
// Smaller packages start over when cut: going on would save less than
// recording where they stood costs.
inline constexpr uint64_t kWorthResuming = uint64_t(1) << 20;

// What the partials of a run hold in all, which its progress reports. pace,
// when set, is heard after each piece a partial takes: a copy that runs
// alone keeps to the bandwidth limit there, and reports while it waits.
// summer, when set, sums their bytes off the receiving thread, and must
// outlive them.
struct Meter {
  uint64_t bytes = 0;
  std::function<void()> pace;
  Summer *summer = nullptr;
};

class PartialFile final : public ByteSink {
 public:
  // Keeps what an earlier try left only when it was for these very bytes;
  // found: whether there is a partial there at all.
  PartialFile(const std::string &target, const ComponentEntry &entry, bool found, Meter &meter);
  // Unless complete, its bytes leave the meter, and those that no later try
  // could go on from leave the disk.
  ~PartialFile();
  PartialFile(const PartialFile &) = delete;
  PartialFile &operator=(const PartialFile &) = delete;
  uint64_t Have() const override { return have_; }
  // The URL and validator the bytes so far came with; empty: start afresh.
  const std::string &Origin() const override { return url_; }
  const std::string &Validator() const override { return validator_; }

  // An answer is arriving: it goes on from Have() when resumed, else from
  // the start. Records what a later try needs.
  void Begin(Start start, const std::string &url, const std::string &validator) override;
  // Throws RELAY_PACKAGE_MISMATCH beyond the size the index gave.
  void Receive(const void *data, size_t size) override;
  // Checks the whole file's size and digest, or removes it and throws
  // RELAY_PACKAGE_MISMATCH. A complete partial stays under its own name:
  // the duplication gives it the package's name once it is durable.
  void Complete();
  // Takes a partial an earlier try left whole as the answer, which Complete
  // then checks; false, and the partial goes, when it cannot be read.
  bool TakeWhole();
  const std::string &Path() const { return path_; }
  uint32_t Crc() const { return sum_.crc; }
  // Whether an answer has started arriving, and whether it went on from
  // bytes an earlier try left.
  bool Begun() const { return begun_; }
  bool Resumed() const { return resumed_; }
  // Bytes received through this object, whatever became of them.
  uint64_t Received() const { return received_; }

 private:
  std::string path_;
  uint64_t size_;
  std::string sha256_;
  FileDescriptor file_;
  uint64_t have_ = 0;
  Sum sum_;  // the SHA-256, and the CRC-32 a merged archive records of each member
  std::string url_, validator_;
  bool completed_ = false, begun_ = false, resumed_ = false;
  uint64_t received_ = 0;
  Meter &meter_;
  uint64_t counted_ = 0;  // of its bytes in the meter
  uint64_t written_ = 0;  // bytes whose writing back has been started

  void Restart();
  // The run's summer for a package large enough that summing off this
  // thread gains more than handing each piece over costs; else null.
  Summer *Offload() const { return size_ >= kWorthResuming ? meter_.summer : nullptr; }
  // Forgets what was summed, once nothing is being summed any more.
  void ResetSum();
  // Starts writing back what arrived since the last time, once there is
  // enough of it, or all of it.
  void WriteBack(bool all);
  // Adds bytes already in the file to the digest and the CRC.
  uint64_t SumKept(uint64_t offset, uint64_t size);
};

// The name in the package directory of a package's partial.
std::string PartialName(const std::string &packagePath);
// The names of the partials in the repository's package directory.
std::unordered_set<std::string> PartialsIn(const std::string &repository);
// Removes those of the partials found (PartialsIn) whose packages the
// upstream no longer offers. A partial made since is for one it offers.
void RemoveObsoletePartials(const std::string &repository, const Index &upstream,
                            const std::unordered_set<std::string> &found);
