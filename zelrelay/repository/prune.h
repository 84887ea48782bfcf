// Dropping superseded component versions from an index.
#pragma once

#include <string>
#include <vector>

#include "repository/index.h"

// Keeps the newest keep versions of each component (0 keeps all); returns the
// package paths that no kept entry uses any more.
std::vector<std::string> PruneVersions(Index &index, int64_t keep);
