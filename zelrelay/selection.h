// Which upstream products and components a request covers, and the
// information record that describes them.
#pragma once

#include <string>
#include <vector>

#include "index.h"
#include "relay/zelrelay.h"

struct Upstream {
  std::string directory;
  Index index;
};

struct SelectedProduct {
  size_t product;                  // into Index::products
  std::vector<size_t> components;  // into Index::components
};

// The first source whose index can be read. Throws RELAY_NO_SOURCES,
// RELAY_NETWORK_SOURCE, RELAY_BAD_SOURCE or RELAY_NO_SOURCE_ANSWERED when
// none answers, and the index's own status when the one that answers is unfit.
Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count);

// Upstream order; a request with a component list covers only the listed
// components; count 0 covers every product when emptyMeansAll, else none.
std::vector<SelectedProduct> Select(const Index &index, const ZELRELAY_Product *request, uint64_t count,
                                    bool emptyMeansAll);

// One malloc'd block that ZELRELAY_DestroyData frees.
ZELRELAY_Information *BuildInformation(const Index &index, const std::vector<SelectedProduct> &selection);
