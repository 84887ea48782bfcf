// Compressed copies of the texts a downstream fetches on every run: zstd,
// which relays ask for first, and gzip, which every HTTP client reads.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Fast levels: the digests an index is mostly made of do not compress, so
// slower levels win a few percent at many times the cost.
std::string ZstdCompress(std::string_view text);
std::string GzipCompress(std::string_view text);
// nullopt for what is not one zstd frame, or decompresses to more than
// limit bytes.
std::optional<std::string> ZstdDecompress(std::string_view compressed, size_t limit);
