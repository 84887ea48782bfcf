// Dropping superseded component versions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/index.h"
#include "repository/holdings.h"
#include "repository/rebuild.h"

// The components beyond the newest keep versions of each (0 keeps all).
std::vector<const ComponentEntry *> SupersededVersions(const std::vector<const ComponentEntry *> &components,
                                                       int64_t keep);

// Drops the pruned components, and returns the products to rebuild: those
// touched and those that lost a pruned component, unless their archives
// already hold exactly what they hold (ArchivesCurrent).
std::vector<size_t> Prune(Holdings &held, std::vector<size_t> touched,
                          const std::vector<const ComponentEntry *> &pruned, int64_t maxmerge,
                          const CopiedPackages &copied);
