// Which upstream products and components a request covers, and the
// information record that describes them.
#pragma once

#include <string>
#include <vector>

#include "base/index.h"
#include "zelrelay.h"

struct SelectedProduct {
  size_t product;                  // into Index::products
  std::vector<size_t> components;  // into Index::components
};

// Upstream order; a request with a component list covers only the listed
// components; count 0 covers every product when emptyMeansAll, else none.
std::vector<SelectedProduct> Select(const Index &index, const ZELRELAY_Product *request, uint64_t count,
                                    bool emptyMeansAll);

// One malloc'd block that ZELRELAY_DestroyData frees.
ZELRELAY_Information *BuildInformation(const Index &index, const std::vector<SelectedProduct> &selection);
