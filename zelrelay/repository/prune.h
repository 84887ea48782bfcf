// Dropping superseded component versions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/index.h"
#include "repository/holdings.h"

// The components beyond the newest keep versions of each (0 keeps all).
std::vector<ComponentEntry> SupersededVersions(const Index &index, int64_t keep);
// The package files of dropped components that no kept component uses.
std::vector<std::string_view> UnusedPackageFiles(const Index &kept, const std::vector<ComponentEntry> &dropped);

// Drops the pruned components, and returns the products to rebuild: those
// touched and those that lost a pruned component, unless their archives
// already hold exactly what they hold.
std::vector<size_t> Prune(Holdings &held, std::vector<size_t> touched, const std::vector<ComponentEntry> &pruned,
                          int64_t maxmerge);
