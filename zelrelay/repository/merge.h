// Merged archives: one or more "<product>_merged.zip" per product holding its
// component packages, with a member "zelrelay.ini" in the index format that
// lists them, so components can be found after the index is stripped.
#pragma once

#include <string>

#include "repository/index.h"
#include "zelrelay_shared.h"

inline constexpr const char *kMergedManifest = "zelrelay.ini";

// maxmerge 0: all in one archive. Removes parts left over from a larger set.
void BuildMergedArchives(const std::string &repository, const Index &index, const ProductEntry &product,
                         int64_t maxmerge);
// Whether a package directory entry is a merged archive.
bool IsMergedArchiveName(const std::string &name);
