// The publisher's Ed25519 keys.
#include "publish/keys.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/signature.h"

void KeyDeleter::operator()(evp_pkey_st *key) const { EVP_PKEY_free(key); }

namespace {

using Context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)>;
using Stream = std::unique_ptr<FILE, int (*)(FILE *)>;

[[noreturn]] void Refuse(const std::string &path, const std::string &why) { throw KeyError(path + ": " + why); }

}  // namespace

std::string GenerateKey(const std::string &path) {
  SigningKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) Refuse(path, "no key could be made");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) Refuse(path, errno == EEXIST ? "exists already; a key is never overwritten" : strerror(errno));
  Stream file(fdopen(fd, "w"), fclose);
  if (!file) {
    close(fd);
    Refuse(path, strerror(errno));
  }
  if (PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      fflush(file.get()) != 0 || fsync(fd) != 0)
    Refuse(path, "cannot be written");
  return PublicKeyOf(key);
}

SigningKey LoadKey(const std::string &path) {
  Stream file(fopen(path.c_str(), "re"), fclose);
  if (!file) Refuse(path, strerror(errno));
  struct stat info;
  if (fstat(fileno(file.get()), &info) != 0) Refuse(path, strerror(errno));
  if (info.st_mode & 077) Refuse(path, "readable by others than its owner; chmod 600 it first");
  SigningKey key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) Refuse(path, "is no Ed25519 private key");
  return key;
}

std::string PublicKeyOf(const SigningKey &key) {
  std::string raw(kPublicKeyBytes, '\0');
  size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(raw.data()), &length) != 1)
    throw KeyError("no public key");
  raw.resize(length);
  return raw;
}

std::string Sign(const SigningKey &key, std::string_view message) {
  Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::string signature(kSignatureBytes, '\0');
  size_t length = signature.size();
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                     reinterpret_cast<const unsigned char *>(message.data()), message.size()) != 1)
    throw KeyError("signing failed");
  signature.resize(length);
  return signature;
}
