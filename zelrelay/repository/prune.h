// Dropping superseded component versions.
#pragma once

#include <string>
#include <vector>

#include "repository/index.h"

// The components beyond the newest keep versions of each (0 keeps all).
std::vector<ComponentEntry> SupersededVersions(const Index &index, int64_t keep);
// The package files of dropped components that no kept component uses.
std::vector<std::string> UnusedPackageFiles(const Index &kept, const std::vector<ComponentEntry> &dropped);
