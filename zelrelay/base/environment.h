// Switches a user sets in the environment rather than through options, for
// what no caller of the library should have to know about.
#pragma once

#include <cstdint>
#include <string>

// A variable's value; empty when unset.
std::string EnvironmentText(const char *name);

// ZELRELAY_VERIFY=1: every run hashes every package and merged member it
// relies on, instead of trusting the stamps of earlier checks.
bool VerifyRequested();
// ZELRELAY_REPORT: a file that receives each duplication's report too, and
// the only place a dry run's report goes; empty when unset.
std::string ReportPath();
// ZELRELAY_RUN: the caller's name for the run, which its report carries so
// that the caller can tell its own report from another writer's; empty
// when unset.
std::string RunName();
// ZELRELAY_DELETE_UNLISTED=1: a duplication also removes the components the
// upstream's index no longer lists, as pruning removes old versions.
bool DeleteUnlisted();
// ZELRELAY_GRACE_PERIOD: seconds a file the index stopped naming stays
// readable for downstreams that read the index before; kGracePeriod unless
// set to a whole number.
inline constexpr int64_t kGracePeriod = 600;
int64_t GracePeriod();
// ZELRELAY_PATCH_VERSIONS: how many versions of each text a downstream
// fetches every run are kept, each with a patch to the current one
// (repository/served.h); kPatchVersions unless set, 0 for none.
inline constexpr int64_t kPatchVersions = 30;
int64_t PatchVersions();
