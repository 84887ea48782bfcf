// Choosing the kind of a source, and the source that answers.
#include "sources/source.h"

#include "base/status.h"
#include "sources/directory.h"

std::unique_ptr<Source> OpenSource(const ZELRELAY_Source &record) {
  return std::make_unique<DirectorySource>(SourceDirectory(record.url));
}

void RefuseRepositoryAsSource(const ZELRELAY_Source *sources, uint64_t count, const std::string &repository) {
  for (uint64_t i = 0; sources != nullptr && i < count; ++i) {
    std::unique_ptr<Source> source;
    try {
      source = OpenSource(sources[i]);
    } catch (const RelayError &) {
      continue;  // ResolveUpstream reports it
    }
    if (source->IsDirectory(repository)) Fail(RELAY_SOURCE_IS_REPOSITORY);
  }
}

Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count) {
  if (sources == nullptr || count == 0) Fail(RELAY_NO_SOURCES);
  RelayStatus first = RELAY_NO_SOURCE_ANSWERED;
  for (uint64_t i = 0; i < count; ++i) {
    try {
      std::unique_ptr<Source> source = OpenSource(sources[i]);
      if (std::optional<Index> index = source->ReadIndex()) return Upstream{std::move(source), std::move(*index)};
    } catch (const RelayError &e) {
      if (e.status != RELAY_NETWORK_SOURCE && e.status != RELAY_BAD_SOURCE && e.status != RELAY_IO_ERROR) throw;
      if (first == RELAY_NO_SOURCE_ANSWERED) first = e.status;
    }
  }
  Fail(first);
}
