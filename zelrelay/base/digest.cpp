// SHA-256 through libcrypto's EVP interface, as lower-case hex.
#include "base/digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>

#include "base/files.h"
#include "base/status.h"

void DigestDeleter::operator()(evp_md_ctx_st *context) const { EVP_MD_CTX_free(context); }

Sha256 StartSha256() {
  Sha256 digest{std::unique_ptr<evp_md_ctx_st, DigestDeleter>(EVP_MD_CTX_new())};
  if (!digest.context) throw std::bad_alloc();
  if (EVP_DigestInit_ex(digest.context.get(), EVP_sha256(), nullptr) != 1) Fail(RELAY_FAILED);
  return digest;
}

void UpdateSha256(Sha256 &digest, const void *data, size_t size) {
  if (EVP_DigestUpdate(digest.context.get(), data, size) != 1) Fail(RELAY_FAILED);
}

std::string FinishSha256(Sha256 &digest) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(digest.context.get(), bytes, &length) != 1) Fail(RELAY_FAILED);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}

std::string Sha256OfBytes(const void *data, size_t size) {
  Sha256 digest = StartSha256();
  UpdateSha256(digest, data, size);
  return FinishSha256(digest);
}

std::string Sha256OfFile(const std::string &path, uint64_t *size) {
  FileDescriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  Sha256 digest = StartSha256();
  uint64_t total = HashRange(file.fd, 0, UINT64_MAX, digest);
  if (size) *size = total;
  return FinishSha256(digest);
}

uint64_t HashRange(int fd, uint64_t offset, uint64_t size, Sha256 &digest) {
  return ReadRange(fd, offset, size, [&](const char *data, size_t got) { UpdateSha256(digest, data, got); });
}

std::string Sha256OfRange(int fd, uint64_t offset, uint64_t size) {
  Sha256 digest = StartSha256();
  if (HashRange(fd, offset, size, digest) != size) return {};
  return FinishSha256(digest);
}

// Every index line holds one: checked without a branch per character.
bool IsSha256Hex(std::string_view text) {
  static constexpr auto kHex = [] {
    std::array<bool, 256> hex{};
    for (char c : std::string_view("0123456789abcdef")) hex[static_cast<unsigned char>(c)] = true;
    return hex;
  }();
  if (text.size() != 64) return false;
  bool all = true;
  for (char c : text) all &= kHex[static_cast<unsigned char>(c)];
  return all;
}
