// Compressed copies, through libzstd and libdeflate.
#include "base/compression.h"

#include <libdeflate.h>
#include <zstd.h>

#include <memory>
#include <new>

namespace {

constexpr int kZstdLevel = 3;
constexpr int kGzipLevel = 6;

struct ZstdStream {
  ZSTD_DStream *stream = ZSTD_createDStream();
  ~ZstdStream() { ZSTD_freeDStream(stream); }
};

}  // namespace

std::string ZstdCompress(std::string_view text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  size_t size = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), kZstdLevel);
  if (ZSTD_isError(size)) throw std::bad_alloc();  // only a context it could not allocate fails
  out.resize(size);
  return out;
}

std::string GzipCompress(std::string_view text) {
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor *)> compressor(
      libdeflate_alloc_compressor(kGzipLevel), libdeflate_free_compressor);
  if (!compressor) throw std::bad_alloc();
  std::string out(libdeflate_gzip_compress_bound(compressor.get(), text.size()), '\0');
  size_t size = libdeflate_gzip_compress(compressor.get(), text.data(), text.size(), out.data(), out.size());
  if (size == 0) throw std::bad_alloc();  // the bound always fits
  out.resize(size);
  return out;
}

// Streamed, so that a frame that does not say its size, or lies about it,
// costs no more than limit.
std::optional<std::string> ZstdDecompress(std::string_view compressed, size_t limit) {
  ZstdStream z;
  if (z.stream == nullptr) throw std::bad_alloc();
  std::string out;
  char buffer[1 << 16];
  ZSTD_inBuffer in{compressed.data(), compressed.size(), 0};
  for (;;) {
    ZSTD_outBuffer chunk{buffer, sizeof buffer, 0};
    size_t left = ZSTD_decompressStream(z.stream, &chunk, &in);
    if (ZSTD_isError(left) || out.size() + chunk.pos > limit) return std::nullopt;
    out.append(buffer, chunk.pos);
    if (left == 0 && in.pos == in.size) return out;  // one whole frame, and nothing after it
    if (in.pos == in.size && chunk.pos < sizeof buffer) return std::nullopt;  // cut short
  }
}
