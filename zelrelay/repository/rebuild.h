// Rebuilding what a duplication changed: the merged archives of the
// products it touched or pruned, one product after the other, from every
// component they hold, each put in place under names no index names yet;
// then the copied packages, everything made durable in one batch before an
// index names any of it, and merged.ini and the index replaced. Files the
// index stopped naming are retired, not deleted (repository/retired.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "repository/holdings.h"

// Copied in this run: complete under its partial's name, with this CRC-32.
struct CopiedPackage {
  uint32_t crc;
  bool placed = false;  // renamed from its partial's name into place
};
// The packages a run copied, as the records the holdings hold them by
// (whose paths are where they go): 16 bytes each, sorted by id for
// lookups once the copies are in.
class CopiedPackages {
 public:
  void Reserve(size_t count) { copies_.reserve(count); }
  void Add(const ComponentEntry &record, CopiedPackage copy) {
    copies_.emplace_back(&record, copy);
    sorted_ = false;
  }
  const CopiedPackage *Find(std::string_view id) const;
  bool Has(std::string_view id) const { return Find(id) != nullptr; }
  bool Empty() const { return copies_.empty(); }
  template <class Each>
  void ForEach(const Each &each) const {
    for (const auto &[record, copy] : copies_) each(*record);
  }
  // Whether every copy is in place already (or there is none).
  bool Placed() const {
    return std::all_of(copies_.begin(), copies_.end(), [](const auto &c) { return c.second.placed; });
  }
  // Calls each(record) for the copies not in place yet, each in place once
  // it returns.
  template <class Each>
  void PlaceEach(const Each &each) {
    for (auto &[record, copy] : copies_)
      if (!copy.placed) {
        each(*record);
        copy.placed = true;
      }
  }

 private:
  mutable std::vector<std::pair<const ComponentEntry *, CopiedPackage>> copies_;
  mutable bool sorted_ = true;
};

// Takes their names off the retired list, syncs everything written so far
// at once, then renames the copied packages into place: those not in place
// already, so that a caller whose Publish failed after it put them there
// may call it again.
void PutInPlace(const std::string &repository, Holdings &held, CopiedPackages &copied);

// Whether a product's merged archives already hold exactly what it holds,
// in the parts maxmerge asks for, none of it copied again in this run: then
// they are left as they are.
bool ArchivesCurrent(const Holdings &held, const HeldProduct &product, int64_t maxmerge,
                     const CopiedPackages &copied);

// Rebuilds the products' archives, one product at a time, and publishes the
// run. Returns the components found lost on the way, gone or damaged where
// nothing else holds them.
std::vector<const ComponentEntry *> Publish(const std::string &repository, int64_t maxmerge, Holdings &held,
                                            const std::vector<size_t> &products, CopiedPackages &copied);

// Once the index is replaced: retires the files of the package directory
// that it and merged.ini no longer name, and deletes those retired longer
// than the grace period ago.
void RetireUnnamedFiles(const std::string &repository, Holdings &held);
