// Which upstream products and components a request covers.
#include "selection.h"

#include <cstdlib>
#include <new>
#include <unordered_map>

#include "entity.h"
#include "context.h"
#include "guard.h"
#include "paths.h"

Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count) {
  if (sources == nullptr || count == 0) Fail(RELAY_NO_SOURCES);
  RelayStatus first = RELAY_NO_SOURCE_ANSWERED;
  for (uint64_t i = 0; i < count; ++i) {
    try {
      std::string directory = SourceDirectory(sources[i].url);
      if (std::optional<Index> index = ReadIndex(directory)) return Upstream{directory, std::move(*index)};
    } catch (const RelayError &e) {
      if (e.status != RELAY_NETWORK_SOURCE && e.status != RELAY_BAD_SOURCE && e.status != RELAY_IO_ERROR) throw;
      if (first == RELAY_NO_SOURCE_ANSWERED) first = e.status;
    }
  }
  Fail(first);
}

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

int32_t ZELRELAY_GetInformation(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                ZELRELAY_Source *sources, uint64_t sourceCount,
                                ZELRELAY_Information **information) {
  return GuardedStarted([&] {
    ContextOf(handle);
    if (information == nullptr || (products == nullptr && productCount > 0)) return RELAY_INVALID_ARGUMENT;
    Upstream upstream = ResolveUpstream(sources, sourceCount);
    *information = BuildInformation(upstream.index, Select(upstream.index, products, productCount, true));
    return RELAY_OK;
  });
}

int32_t ZELRELAY_DestroyData(ZELRELAY_Information *information) {
  if (information == nullptr) return RELAY_INVALID_ARGUMENT;
  free(information);
  return RELAY_OK;
}
