// The publisher's Ed25519 keys: made, kept in PEM files only their owner can
// read, and used to sign a statement (docs/trust.md).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

struct evp_pkey_st;

struct KeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct KeyDeleter {
  void operator()(evp_pkey_st *key) const;
};
using SigningKey = std::unique_ptr<evp_pkey_st, KeyDeleter>;

// Writes a new private key to path, which must not exist yet, readable by
// its owner alone; returns the raw public key.
std::string GenerateKey(const std::string &path);
// Refuses a file that its group or others may read.
SigningKey LoadKey(const std::string &path);
std::string PublicKeyOf(const SigningKey &key);
std::string Sign(const SigningKey &key, std::string_view message);
