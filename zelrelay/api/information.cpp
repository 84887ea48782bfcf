// Listing: what the first source that answers offers for a request.
#include <cstdlib>

#include "api/context.h"
#include "api/guard.h"
#include "sources/selection.h"
#include "sources/source.h"

int32_t ZELRELAY_GetInformation(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                ZELRELAY_Source *sources, uint64_t sourceCount,
                                ZELRELAY_Information **information) {
  return GuardedStarted([&] {
    ZELRELAY_ContextRecord &context = ContextOf(handle);
    CheckOptions(context);
    if (information == nullptr || (products == nullptr && productCount > 0)) return RELAY_INVALID_ARGUMENT;
    context.indexes.Forget();
    std::optional<Trust> trust = ReadTrust(context.repository);
    SourceSettings settings = SourcesOf(context, Keeping::ReadOnly);
    settings.trust = trust ? &*trust : nullptr;
    Upstream upstream = ResolveUpstream(sources, sourceCount, settings);
    std::vector<RequestMatch> matches;
    std::vector<SelectedProduct> selection = Select(upstream.index, products, productCount, EmptyRequest::All, &matches);
    CheckMatches(products, matches);
    *information = BuildInformation(upstream.index, selection);
    return RELAY_OK;
  });
}

int32_t ZELRELAY_DestroyData(ZELRELAY_Information *information) {
  if (information == nullptr) return RELAY_INVALID_ARGUMENT;
  free(information);
  return RELAY_OK;
}
