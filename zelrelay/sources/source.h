// Where packages come from: a source reads its index and fetches a package's
// bytes. The directory source is one kind; each kind lives in a file of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "repository/index.h"
#include "zelrelay.h"

// Takes a package's bytes as they arrive; throws a RelayError to stop.
struct PackageSink {
  virtual void Receive(const void *data, size_t size) = 0;

 protected:
  ~PackageSink() = default;
};

class Source {
 public:
  virtual ~Source() = default;
  // nullopt when the source holds no index; throws the status that says why
  // it cannot be read.
  virtual std::optional<Index> ReadIndex() = 0;
  // Streams the package the entry names; throws RELAY_PACKAGE_MISSING when
  // it is not there.
  virtual void FetchPackage(const ComponentEntry &entry, PackageSink &sink) = 0;
  // The package's detached signature, when the source has one.
  virtual std::optional<std::string> FetchSignature(const ComponentEntry &entry) = 0;
  // Whether the source is this directory, however its name is spelled.
  virtual bool IsDirectory(const std::string &) const { return false; }
};

// Throws RELAY_NETWORK_SOURCE or RELAY_BAD_SOURCE for a record no kind takes.
std::unique_ptr<Source> OpenSource(const ZELRELAY_Source &record);

struct Upstream {
  std::unique_ptr<Source> source;
  Index index;
};

// Throws RELAY_SOURCE_IS_REPOSITORY when one of the sources is the
// repository itself, before anything is read from it.
void RefuseRepositoryAsSource(const ZELRELAY_Source *sources, uint64_t count, const std::string &repository);

// The first source whose index can be read. Throws RELAY_NO_SOURCES,
// RELAY_NETWORK_SOURCE, RELAY_BAD_SOURCE or RELAY_NO_SOURCE_ANSWERED when
// none answers, and the index's own status when the one that answers is unfit.
Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count);
