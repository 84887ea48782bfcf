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

// What one product of a request found upstream.
struct RequestMatch {
  size_t products = 0, components = 0;
  // A typo, or a version the upstream does not have: no product, or none
  // of the components the request lists.
  bool Nothing(const ZELRELAY_Product &request) const {
    return products == 0 || (request.components != nullptr && components == 0);
  }
};

// What a request of no product covers: a listing shows every product, a
// duplication copies none.
enum class EmptyRequest { All, None };

// Upstream order; a request with a component list covers only the listed
// components. matches, when given, receives what each product of the
// request found.
std::vector<SelectedProduct> Select(const Index &index, const ZELRELAY_Product *request, uint64_t count,
                                    EmptyRequest empty, std::vector<RequestMatch> *matches = nullptr);
// Throws RELAY_NOTHING_MATCHES when a product of the request found nothing.
void CheckMatches(const ZELRELAY_Product *request, const std::vector<RequestMatch> &matches);

// One malloc'd block that ZELRELAY_DestroyData frees.
ZELRELAY_Information *BuildInformation(const Index &index, const std::vector<SelectedProduct> &selection);
