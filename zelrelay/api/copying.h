// Copying what a duplication lacks: each package from the first source that
// lists it with the same digest, from the next when that one fails (cannot
// be reached, answers with an error, breaks off, stalls, or sends other
// bytes), and counted as failed only when every source failed. Network
// transfers run side by side; copies from directories one after another.
// The run's events come from here: downloadbegin once a package's bytes
// start to arrive, progress at least every 200 ms, download once it is
// complete and checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "api/context.h"
#include "repository/rebuild.h"
#include "sources/network.h"
#include "sources/source.h"

// A package of the request; a run plans one for each, so it is kept small.
struct PlannedPackage {
  const ComponentEntry *upstream = nullptr;  // as the answering source lists it
  bool present = false;                      // the repository holds it already, intact
  bool repair = false;                       // it held it, but with other bytes
  bool doomed = false;                       // pruning would drop it at once
  // Its plain name is taken, by other bytes or a file kept for readers of
  // an older index: it is copied under a name of its own.
  bool tagged = false;
  bool failed = false;  // needed, and not copied
  bool Needed() const { return !present && !doomed; }
  // Where it is copied to, relative to the repository: a name no file has.
  std::string File() const { return tagged ? TaggedPackagePath(*upstream) : PackagePath(*upstream); }
  // The package as events and the report name it.
  std::string Path() const { return PackagePath(*upstream); }
};

// How the copy of one needed package ended.
struct PackageCopy {
  uint64_t moved = 0;  // bytes transferred for it, every try together
  // RELAY_OK: copied; else why the last source tried failed it, or what
  // stopped the run before it was done.
  RelayStatus status = RELAY_PACKAGE_MISSING;
  // Copied: complete and checked under its partial's name, which the
  // caller makes durable and renames into place.
  CopiedPackage file{0};
  int32_t source = -1;   // the source it came from, or the last tried; -1: none
  bool resumed = false;  // it went on from bytes an earlier try left
};

struct CopyOutcome {
  // RELAY_OK, the status of the last package that failed, or the status
  // that stopped everything (cancelled, no space left).
  RelayStatus status = RELAY_OK;
  // One for each needed package, in the plan's order: the caller takes
  // what it needs and lets them go before the rebuild.
  std::vector<PackageCopy> packages;
  uint64_t bytes = 0;  // held by the copies in the end, as progress counted them
};

// Failures that end the whole run rather than one package's try.
bool StopsEverything(RelayStatus status);

// total: the bytes of the needed packages, which progress counts toward;
// partials: those in the package directory (PartialsIn).
CopyOutcome CopyMissing(const ZELRELAY_ContextRecord &context, const NetworkSettings &network, Upstream &upstream,
                        const std::vector<PlannedPackage> &plan, const std::unordered_set<std::string> &partials,
                        uint64_t total);
