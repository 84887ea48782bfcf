// Where a package's bytes go as they arrive, from a directory or over the
// network: one interface on the whole byte path, which the partial file
// implements (packages/partial.h) and a fetched text stands in for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ByteSink {
 public:
  // Bytes already held from an earlier try, which an answer may go on from.
  virtual uint64_t Have() const = 0;
  // Where those bytes came from, and the validator (ETag or Last-Modified)
  // they came with; empty: nothing to go on from.
  virtual const std::string &Origin() const = 0;
  virtual const std::string &Validator() const = 0;
  // Where an answer's bytes go: on from Have(), or from the start, and then
  // whatever was held before no longer counts.
  enum class Start { Afresh, Resumed };
  // An answer starts.
  virtual void Begin(Start start, const std::string &origin, const std::string &validator) = 0;
  // The next bytes. A RelayError thrown here ends the transfer with its
  // status.
  virtual void Receive(const void *data, size_t size) = 0;

 protected:
  ~ByteSink() = default;
};
