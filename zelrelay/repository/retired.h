// Files the index stopped naming. A downstream that read the index a moment
// before the switch may still be fetching what it named, so such a file is
// retired rather than deleted: listed with the time it left in
// ".zelrelay.retired", and deleted by the first writer that runs once the
// grace period (base/environment.h) has passed. No retired name is ever
// named by the index or merged.ini: a writer takes a name off the list
// before it names it again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

inline constexpr const char *kRetiredName = ".zelrelay.retired";

struct Retired {
  std::map<std::string, int64_t, std::less<>> since;  // path in the repository -> seconds since the epoch
  bool changed = false;                               // since it was read
  bool Has(std::string_view path) const { return since.count(path) > 0; }
};

// An unreadable list is empty: its files are then unnamed leftovers, which
// the next full run retires again.
Retired ReadRetired(const std::string &repository);
// Replaces the list when it changed; removes it when empty.
void WriteRetired(const std::string &repository, Retired &retired);

// Retires the package files and merged archives of the package directory
// that are not named, nor retired already, with their signatures.
// named tells of a path relative to the repository.
void RetireUnnamed(const std::string &repository, const std::function<bool(std::string_view)> &named,
                   Retired &retired, int64_t now);
// Takes a path off the list, before a writer names it again.
void Unretire(Retired &retired, std::string_view path);
// Deletes the files retired grace seconds or more before now.
void SweepRetired(const std::string &repository, Retired &retired, int64_t now, int64_t grace);
