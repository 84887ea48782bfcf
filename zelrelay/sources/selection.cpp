// Which upstream products and components a request covers.
#include "sources/selection.h"

#include <cstdlib>
#include <new>
#include <unordered_map>

#include "base/entity.h"
#include "base/status.h"

namespace {

// Requests match on klass and type first: indexing them so keeps a request of
// many products, or a product list of many components, from comparing each
// with each.
uint64_t KindOf(const ZELRELAY_EntityItem &entity) { return uint64_t(uint32_t(entity.klass)) << 32 | uint32_t(entity.type); }

struct Listed {
  std::unordered_multimap<uint64_t, const ZELRELAY_EntityItem *> byKind;
  explicit Listed(const ZELRELAY_Product &request) {
    for (uint64_t i = 0; i < request.componentCount; ++i) byKind.emplace(KindOf(request.components[i]), &request.components[i]);
  }
  bool Covers(const ZELRELAY_EntityItem &component) const {
    auto [from, to] = byKind.equal_range(KindOf(component));
    for (auto at = from; at != to; ++at)
      if (RequestMatches(*at->second, component)) return true;
    return false;
  }
};

}  // namespace

std::vector<SelectedProduct> Select(const Index &index, const ZELRELAY_Product *request, uint64_t count,
                                    EmptyRequest empty, std::vector<RequestMatch> *matches) {
  std::vector<RequestMatch> found(count);
  // An index as read says where each product's components are; one put
  // together otherwise is looked up.
  std::unordered_map<std::string_view, size_t> byId;
  for (const ProductEntry &product : index.products)
    if (product.positions.size() != product.components.size()) {
      for (size_t i = 0; i < index.components.size(); ++i) byId[index.components[i].id] = i;
      break;
    }
  auto position = [&](const ProductEntry &product, size_t c) -> size_t {
    return product.positions.size() == product.components.size() ? product.positions[c] : byId[product.components[c]];
  };
  std::unordered_multimap<uint64_t, uint64_t> requests;  // kind -> request
  for (uint64_t r = 0; r < count; ++r) requests.emplace(KindOf(request[r].entity), r);
  std::unordered_map<uint64_t, Listed> listed;
  std::vector<SelectedProduct> selection;
  for (size_t p = 0; p < index.products.size(); ++p) {
    const ProductEntry &product = index.products[p];
    bool whole = count == 0 && empty == EmptyRequest::All;
    std::vector<bool> wanted(product.components.size(), whole);
    auto [from, to] = requests.equal_range(KindOf(product.entity));
    for (auto at = from; at != to; ++at) {
      const ZELRELAY_Product &asked = request[at->second];
      if (!RequestMatches(asked.entity, product.entity)) continue;
      whole = whole || asked.components == nullptr;
      const Listed *list = nullptr;
      if (asked.components != nullptr) list = &listed.try_emplace(at->second, asked).first->second;
      RequestMatch &match = found[at->second];
      match.products++;
      for (size_t c = 0; c < product.components.size(); ++c) {
        bool covered = list == nullptr || list->Covers(index.components[position(product, c)].entity);
        match.components += covered;
        wanted[c] = wanted[c] || covered;
      }
    }
    SelectedProduct chosen{p, {}};
    for (size_t c = 0; c < wanted.size(); ++c)
      if (wanted[c]) chosen.components.push_back(position(product, c));
    if (whole || !chosen.components.empty()) selection.push_back(std::move(chosen));
  }
  if (matches) *matches = std::move(found);
  return selection;
}

void CheckMatches(const ZELRELAY_Product *request, const std::vector<RequestMatch> &matches) {
  for (size_t r = 0; r < matches.size(); ++r)
    if (matches[r].Nothing(request[r])) Fail(RELAY_NOTHING_MATCHES);
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
