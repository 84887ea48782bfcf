// Compressed copies of the texts a downstream fetches on every run: zstd,
// which relays ask for first, and gzip, which every HTTP client reads.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Fast levels: the digests an index is mostly made of do not compress, so
// slower levels win a few percent at many times the cost.
std::string ZstdCompress(std::string_view text);
// nullopt for what is not one zstd frame, or decompresses to more than
// limit bytes.
std::optional<std::string> ZstdDecompress(std::string_view compressed, size_t limit);

// A compressed copy made piece by piece as its text is, and written to the
// descriptor as it comes out: a large text is never whole in memory, nor
// its copy. One frame.
class CompressingStream {
 public:
  enum class Format { Zstd, Gzip };
  CompressingStream(Format format, int fd);
  ~CompressingStream();
  CompressingStream(const CompressingStream &) = delete;
  CompressingStream &operator=(const CompressingStream &) = delete;
  void Add(std::string_view piece);
  // Ends the frame: the descriptor then holds the whole copy.
  void End();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
