// Rebuilding what a duplication changed: the merged archives of the
// products it touched or pruned, from every component they hold; then the
// copied packages and the archives put in place and the index replaced,
// everything made durable in one batch before any of it shows.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "repository/holdings.h"

// Copied in this run: complete under its partial's name, with this CRC-32.
struct CopiedPackage {
  uint32_t crc;
};

// Copied packages, by their paths in the repository; each lies under its
// partial's name until it is put in place.
using Finished = std::vector<std::string_view>;

// Syncs everything written so far at once, then renames the packages.
void PutInPlace(const std::string &repository, const Finished &finished);

// Whether a product's merged archives already hold exactly what it holds,
// in the parts maxmerge asks for: then they are left as they are.
bool ArchivesCurrent(const Holdings &held, const ProductEntry &product, int64_t maxmerge);

// Rebuilds the products' archives and publishes the run. Returns the
// components found lost on the way, gone or damaged where nothing else
// holds them.
std::vector<ComponentEntry> Publish(const std::string &repository, int64_t maxmerge, Holdings &held,
                                    const std::vector<size_t> &products,
                                    const std::unordered_map<std::string_view, CopiedPackage> &copied,
                                    const Finished &finished);
