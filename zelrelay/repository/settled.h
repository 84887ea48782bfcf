// What the last complete duplication left. When the next one asks the same
// of the same upstream index, and nothing has changed the repository since
// (its index, merged.ini and package directory keep their size, time and
// identity), there is nothing to do, and the run touches nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/index.h"
#include "zelrelay.h"

// The request, the switches that shape its result, and the upstream index.
std::string RunDigest(const ZELRELAY_Product *products, uint64_t count, const Index &upstream, int64_t keepcount,
                      int64_t maxmerge, int64_t dupdigisign, bool deleteUnlisted);
// When the repository is settled for the digest: the components of the
// request that the run recorded as skipped (keepcount would prune them at
// once), which it holds no more now than then. Else nullopt.
std::optional<std::vector<std::string>> Settled(const std::string &repository, const std::string &digest);
// After a run that got all it asked for.
void RecordSettled(const std::string &repository, const std::string &digest, const std::vector<std::string> &skipped);
