// Which upstream products and components a request covers.
#include "sources/selection.h"

#include <cstdlib>
#include <new>
#include <unordered_map>

#include "base/entity.h"

namespace {

bool ComponentListed(const ZELRELAY_Product &request, const ZELRELAY_EntityItem &component) {
  for (uint64_t i = 0; i < request.componentCount; ++i)
    if (RequestMatches(request.components[i], component)) return true;
  return false;
}

}  // namespace

std::vector<SelectedProduct> Select(const Index &index, const ZELRELAY_Product *request, uint64_t count,
                                    bool emptyMeansAll) {
  std::unordered_map<std::string_view, size_t> positions;
  for (size_t i = 0; i < index.components.size(); ++i) positions[index.components[i].id] = i;
  std::vector<SelectedProduct> selection;
  for (size_t p = 0; p < index.products.size(); ++p) {
    const ProductEntry &product = index.products[p];
    bool whole = count == 0 && emptyMeansAll;
    std::vector<bool> wanted(product.components.size(), whole);
    for (uint64_t r = 0; r < count; ++r) {
      if (!RequestMatches(request[r].entity, product.entity)) continue;
      whole = whole || request[r].components == nullptr;
      for (size_t c = 0; c < product.components.size(); ++c)
        wanted[c] = wanted[c] || request[r].components == nullptr ||
                    ComponentListed(request[r], index.components[positions[product.components[c]]].entity);
    }
    SelectedProduct chosen{p, {}};
    for (size_t c = 0; c < wanted.size(); ++c)
      if (wanted[c]) chosen.components.push_back(positions[product.components[c]]);
    if (whole || !chosen.components.empty()) selection.push_back(std::move(chosen));
  }
  return selection;
}

ZELRELAY_Information *BuildInformation(const Index &index, const std::vector<SelectedProduct> &selection) {
  size_t components = 0;
  for (const SelectedProduct &s : selection) components += s.components.size();
  size_t bytes = sizeof(ZELRELAY_Information) + selection.size() * sizeof(ZELRELAY_Product) +
                 components * sizeof(ZELRELAY_EntityItem);
  auto *information = static_cast<ZELRELAY_Information *>(calloc(1, bytes));
  if (information == nullptr) throw std::bad_alloc();
  auto *products = reinterpret_cast<ZELRELAY_Product *>(information + 1);
  auto *entities = reinterpret_cast<ZELRELAY_EntityItem *>(products + selection.size());
  information->products = selection.empty() ? nullptr : products;
  information->productCount = selection.size();
  for (size_t p = 0; p < selection.size(); ++p) {
    products[p].entity = index.products[selection[p].product].entity;
    products[p].components = selection[p].components.empty() ? nullptr : entities;
    products[p].componentCount = selection[p].components.size();
    for (size_t c : selection[p].components) *entities++ = index.components[c].entity;
  }
  return information;
}
