// Compressed copies, through libzstd and zlib.
#include "base/compression.h"

#include <zlib.h>
#include <zstd.h>

#include <new>
#include <vector>

#include "base/files.h"

namespace {

constexpr int kZstdLevel = 3;
// A streamed copy keeps its window and tables while the text is written,
// at the peak of a first mirror: small ones, at the fastest level, compress
// an index's digests a tenth better than level 3's (0.22 of the text
// against 0.25) in a seventh of the memory (0.5 MB).
constexpr int kZstdStreamLevel = 1;
constexpr int kZstdStreamWindowLog = 16;
constexpr int kGzipLevel = 6;
// zlib's window, and 16 more for a gzip header and trailer.
constexpr int kGzipWindowBits = 15 + 16;

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

// Only a context that could not be allocated fails either library here:
// the output always has room, and the input is any bytes.
struct CompressingStream::State {
  Format format;
  int fd;
  std::vector<char> out = std::vector<char>(kCopyChunk);
  ZSTD_CCtx *zstd = nullptr;
  z_stream gzip{};

  State(Format f, int descriptor) : format(f), fd(descriptor) {
    if (format == Format::Zstd) {
      zstd = ZSTD_createCCtx();
      if (zstd == nullptr) throw std::bad_alloc();
      // Values it has: nothing to check.
      ZSTD_CCtx_setParameter(zstd, ZSTD_c_compressionLevel, kZstdStreamLevel);
      ZSTD_CCtx_setParameter(zstd, ZSTD_c_windowLog, kZstdStreamWindowLog);
    } else if (deflateInit2(&gzip, kGzipLevel, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~State() {
    if (format == Format::Zstd) ZSTD_freeCCtx(zstd);
    else deflateEnd(&gzip);
  }

  // Compresses the piece, to the end of the frame when ending; writes what
  // comes out.
  void Pour(std::string_view piece, bool ending) {
    if (format == Format::Zstd) {
      ZSTD_inBuffer in{piece.data(), piece.size(), 0};
      ZSTD_EndDirective mode = ending ? ZSTD_e_end : ZSTD_e_continue;
      for (size_t left = 1; in.pos < in.size || (ending && left != 0);) {
        ZSTD_outBuffer chunk{out.data(), out.size(), 0};
        left = ZSTD_compressStream2(zstd, &chunk, &in, mode);
        if (ZSTD_isError(left)) throw std::bad_alloc();
        WriteAll(fd, out.data(), chunk.pos);
      }
      return;
    }
    gzip.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(piece.data()));
    gzip.avail_in = uInt(piece.size());
    for (int result = Z_OK; gzip.avail_in > 0 || (ending && result != Z_STREAM_END);) {
      gzip.next_out = reinterpret_cast<Bytef *>(out.data());
      gzip.avail_out = uInt(out.size());
      result = deflate(&gzip, ending ? Z_FINISH : Z_NO_FLUSH);
      if (result == Z_STREAM_ERROR) throw std::bad_alloc();
      WriteAll(fd, out.data(), out.size() - gzip.avail_out);
    }
  }
};

CompressingStream::CompressingStream(Format format, int fd) : state_(std::make_unique<State>(format, fd)) {}
CompressingStream::~CompressingStream() = default;

void CompressingStream::Add(std::string_view piece) {
  if (!piece.empty()) state_->Pour(piece, false);
}

void CompressingStream::End() { state_->Pour({}, true); }
