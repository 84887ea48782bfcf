// Where packages come from: a source reads its index and fetches a package
// into a file. Each kind lives in a file of its own: directory.h, http.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/index.h"
#include "packages/sink.h"
#include "sources/cache.h"
#include "sources/network.h"
#include "sources/trust.h"
#include "zelrelay.h"

// How the texts a source serves with patches and compressed copies
// (base/served.h) came in a run; the run report tells it.
struct TextTransfers {
  uint64_t bytes = 0;                                   // bodies received for such texts, as they came
  size_t unchanged = 0, patched = 0, compressed = 0, whole = 0;  // texts, each one way
  size_t refused = 0;  // patches that came and did not check out
};

// A text whole, past its patches and compressed copies: what a reader asks
// for when the text that came another way is not the one it expected.
enum class TextForm { Cheapest, Whole };

class Source {
 public:
  virtual ~Source() = default;
  // nullopt when a directory holds no index; throws the status that says
  // why an index cannot be had (a web server without one answers 404, and
  // that is the status).
  virtual std::optional<Index> ReadIndex() = 0;
  // Fetches the package the entry names into the sink and tells done how it
  // ended (RELAY_PACKAGE_MISSING when it is not there). A source whose
  // transfers run side by side queues them on the network and returns at
  // once; the others copy before returning.
  virtual void Fetch(const ComponentEntry &entry, ByteSink &sink, Network &network,
                     std::function<void(RelayStatus)> done) = 0;
  virtual bool Parallel() const { return false; }
  // The package's detached signature, when the source has one.
  virtual std::optional<std::string> FetchSignature(const ComponentEntry &entry) = 0;
  // A text file of the source as it is (a statement, an index), no larger
  // than an index may be; nullopt when the source has none.
  virtual std::optional<std::string> ReadText(const std::string &name, TextForm form = TextForm::Cheapest) = 0;
  // How its served texts came, for sources that fetch them.
  virtual const TextTransfers *Transfers() const { return nullptr; }
  // Keeps in the repository what it fetched, for a conditional request next
  // time: only once what the texts say was accepted.
  virtual void KeepFetched() {}
  // Whether the source is this directory, however its name is spelled.
  virtual bool IsDirectory(const std::string &) const { return false; }
};

struct SourceSettings {
  NetworkSettings network;
  IndexCache *cache = nullptr;
  // Set when the repository trusts keys: the index must be signed.
  const Trust *trust = nullptr;
};

// A URL's scheme, in lower case as schemes compare; empty for a path.
std::string SchemeOf(std::string_view url);
// Throws the status that says why no kind of source takes the record.
std::unique_ptr<Source> OpenSource(const ZELRELAY_Source &record, const SourceSettings &settings);

// Throws RELAY_SOURCE_IS_REPOSITORY when one of the sources is the
// repository itself, before anything is read from it.
void RefuseRepositoryAsSource(const ZELRELAY_Source *sources, uint64_t count, const std::string &repository,
                              const SourceSettings &settings);

// A source URL as a report or an event may show it: without the user
// information it may carry.
std::string ShownUrl(std::string_view url);

// What a source answered when its index was asked for.
struct SourceState {
  std::string url;                // as shown; empty for a record without one
  std::string proxy;              // its proxy's "host:port" (host alone for port 0); empty without one
  RelayStatus status = RELAY_OK;  // of reading its index
  bool read = false;              // its index was asked for
};

// The sources of a call in order: the index of the first that answers, and
// the others for the packages it fails to give.
class Upstream {
 public:
  Index index;

  // Sources are tried in order for the index; when none answers, the
  // status of the last failure says why (RELAY_NO_SOURCES without sources,
  // RELAY_NO_SOURCE_ANSWERED when none has an index). What each answered
  // stays, also when this throws.
  void Resolve(const ZELRELAY_Source *sources, uint64_t count, const SourceSettings &settings);
  const std::vector<SourceState> &States() const { return states_; }
  // The source whose index this is.
  size_t Answered() const { return answered_; }
  // How source i's served texts came; null for a source that fetches none.
  const TextTransfers *TransfersOf(size_t i) const { return sources_[i] ? sources_[i]->Transfers() : nullptr; }
  size_t Count() const { return sources_.size(); }
  // Null when the record names no usable source.
  Source *At(size_t i) { return sources_[i].get(); }
  // How source i lists the component that the index lists as wanted, when
  // it lists it with the same digest; its index is read on first need.
  // Under a trust file the index is the publisher's, and what a source
  // lists says only where the bytes lie: they are checked against the
  // index's digest all the same.
  const ComponentEntry *Offer(size_t i, const ComponentEntry &wanted);
  // The index's statement, when the repository trusts keys (its index
  // moved into index).
  const std::optional<SignedIndex> &Signed() const { return signed_; }
  // Has the answering source keep what it fetched (see Source::KeepFetched).
  void KeepFetched() {
    if (answered_ < sources_.size() && sources_[answered_]) sources_[answered_]->KeepFetched();
  }

 private:
  std::vector<std::unique_ptr<Source>> sources_;
  std::vector<SourceState> states_;
  size_t answered_ = 0;
  std::vector<std::optional<Index>> indexes_;  // where each source's bytes lie
  std::optional<SignedIndex> signed_;
  std::vector<std::unordered_map<std::string_view, size_t>> byId_;
  void ReadSigned(size_t i, const Trust &trust);
};

// Upstream::Resolve, for a caller that needs no account of the sources.
Upstream ResolveUpstream(const ZELRELAY_Source *sources, uint64_t count, const SourceSettings &settings);
