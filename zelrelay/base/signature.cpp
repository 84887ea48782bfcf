// Ed25519 signatures and base64.
#include "base/signature.h"

#include <openssl/evp.h>

#include <memory>

namespace {

using Key = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)>;
using Context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)>;

}  // namespace

std::string Base64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()),
                               reinterpret_cast<const unsigned char *>(bytes.data()), int(bytes.size()));
  text.resize(size_t(length));
  return text;
}

// EVP_DecodeBlock takes what it should refuse (padding in the middle,
// blanks) and pads its answer: only text that encodes back to itself counts.
std::optional<std::string> FromBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::string bytes(text.size() / 4 * 3, '\0');
  int length = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(bytes.data()),
                               reinterpret_cast<const unsigned char *>(text.data()), int(text.size()));
  if (length < 0) return std::nullopt;
  size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  bytes.resize(size_t(length) - padding);
  if (Base64(bytes) != text) return std::nullopt;
  return bytes;
}

bool VerifyEd25519(std::string_view key, std::string_view message, std::string_view signature) {
  if (key.size() != kPublicKeyBytes || signature.size() != kSignatureBytes) return false;
  Key pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(key.data()),
                                       key.size()),
           EVP_PKEY_free);
  Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!pkey || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
    return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char *>(message.data()), message.size()) == 1;
}
