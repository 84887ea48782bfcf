// Merged archives: one or more "<product>_merged.zip" per product holding its
// component packages, stored, each with a first member "zelrelay.ini" in the
// index format that lists them. Once the module's clean-up has stripped the
// index they are the repository's only copy, so "merged.ini" at its root
// lists the members of all of them, with where each one's data lies, for
// relays that mirror from this repository (docs/repository-format.md).
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/index.h"
#include "repository/retired.h"
#include "zelrelay_shared.h"

inline constexpr const char *kMergedManifest = "zelrelay.ini";
inline constexpr const char *kMergedIndex = "merged.ini";

// Where a member's bytes come from while an archive is built.
struct MemberSource {
  ComponentEntry entry;  // as the index lists it: the member's name, size and digest
  std::string file;      // a package file, or an older merged archive
  uint64_t offset = 0;   // of the package in file
  // Set when its bytes are known to match the digest: the kernel copies
  // them as they are. Else they are read, checked and summed.
  std::optional<uint32_t> crc;
};

// One product's new merged archives, complete beside their final names.
// Each gets the plain name ("<product>[_N]_merged.zip") while that is free,
// else one tagged with its manifest's digest, so that an archive the index
// names is never renamed over while a reader may be taking a member from it.
struct MergedBuild {
  ProductEntry product;
  std::vector<TempFile> parts;
  std::vector<std::string_view> names;  // relative to the repository
  std::vector<ComponentEntry> members;  // each in its part, at its offset
  // Keeps the names; the members' other strings are those of the sources'.
  std::shared_ptr<StringPool> strings;
};

// maxmerge 0: all in one archive. A source that is not there is left out
// and returned in missing; one whose bytes differ from its digest fails the
// build (RELAY_PACKAGE_MISMATCH), and so does one gone meanwhile
// (RELAY_PACKAGE_MISSING).
MergedBuild BuildMergedArchives(const std::string &repository, const ProductEntry &product,
                                const std::vector<MemberSource> &sources, int64_t maxmerge,
                                std::vector<ComponentEntry> &missing);
// Puts the parts in place, under names no index names yet: they are made
// durable with the rest of the run (SyncAll) before merged.ini names them.
// The archives they replace stay, for readers of the index that named them,
// until they are retired.
void CommitMergedArchives(MergedBuild &build);

// What the merged archives hold: their members (path: the archive, offset:
// the data) and their products.
struct MergedListing {
  Index index;
  // merged.ini described every archive as it is.
  bool listed = false;
  // Archives read from their own manifests, because merged.ini did not
  // describe them as they are now: their members are not known to match.
  std::set<std::string, std::less<>> scanned;
};
// The archives are those merged.ini lists, or when it cannot be read every
// archive in the package directory that is not retired (passed in, as read
// from .zelrelay.retired). They are read from merged.ini where it still
// describes them, else from their own manifests.
MergedListing ReadMergedArchives(const std::string &repository, const Retired &retired);
// Writes merged.ini as it is made, with its companions (ServedFile): the
// members, each listed once (path: its archive, offset: its data), their
// products, and the size and time of each archive that holds one; leaves
// it untouched when it says the same.
// Returns those archives, sorted.
std::vector<std::string_view> WriteMergedIndex(const std::string &repository, const IndexSource &members);

// Whether an archive (a path relative to the repository) is one of the
// product's merged archives; the product an archive is of, by identity
// (ComponentName), empty for a name no merged archive has.
bool IsArchiveOf(std::string_view archive, const ProductEntry &product);
std::string ProductOfArchive(std::string_view archive);

// Whether a package directory entry is a merged archive.
bool IsMergedArchiveName(std::string_view name);
