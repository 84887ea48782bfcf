// Copying what a duplication lacks: each package from the first source that
// lists it with the same digest, from the next when that one fails (cannot
// be reached, answers with an error, breaks off, stalls, or sends other
// bytes), and counted as failed only when every source failed. Network
// transfers run side by side; copies from directories one after another.
#pragma once

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "packages/transfer.h"
#include "sources/source.h"

struct PlannedPackage {
  const ComponentEntry *upstream;  // as the answering source lists it
  std::string path;                // its package file, relative to the repository
  bool present;                    // the repository holds it already
  bool doomed = false;             // pruning would drop it at once
  bool Needed() const { return !present && !doomed; }
};

// Failures that end the whole run rather than one package's try.
bool StopsEverything(RelayStatus status);

// Each copied package is left complete and checked under its partial's
// name, which copied hears with the package's CRC-32; the caller makes it durable and gives it the
// package's name. Returns RELAY_OK, the status of the last package that
// failed, or the status that stopped everything (cancelled, no space left).
using Copied = std::function<void(const PlannedPackage &, const std::string &partial, uint32_t crc)>;
// partials: those in the package directory (PartialsIn).
RelayStatus CopyMissing(Transfer &transfer, Upstream &upstream, const std::vector<PlannedPackage> &plan,
                        const std::unordered_set<std::string> &partials, const Copied &copied);
