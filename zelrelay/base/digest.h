// SHA-256 through libcrypto's EVP interface, as lower-case hex.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

struct DigestDeleter {
  void operator()(evp_md_ctx_st *context) const;
};

struct Sha256 {
  std::unique_ptr<evp_md_ctx_st, DigestDeleter> context;
};

Sha256 StartSha256();
void UpdateSha256(Sha256 &digest, const void *data, size_t size);
std::string FinishSha256(Sha256 &digest);
std::string Sha256OfBytes(const void *data, size_t size);
// Adds up to size bytes at offset, read through the descriptor; returns
// how many there were. Throws RELAY_IO_ERROR when they cannot be read.
uint64_t HashRange(int fd, uint64_t offset, uint64_t size, Sha256 &digest);
// The digest of size bytes at offset; empty when the file ends first.
std::string Sha256OfRange(int fd, uint64_t offset, uint64_t size);
// Throws RELAY_IO_ERROR when the file cannot be read; size receives its length.
std::string Sha256OfFile(const std::string &path, uint64_t *size = nullptr);
bool IsSha256Hex(std::string_view text);
