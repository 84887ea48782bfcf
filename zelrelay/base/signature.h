// Ed25519 signatures through libcrypto, and the base64 that keys and
// signatures are written in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr size_t kPublicKeyBytes = 32, kSignatureBytes = 64;

std::string Base64(std::string_view bytes);
// nullopt for text that is not canonical base64.
std::optional<std::string> FromBase64(std::string_view text);
// Whether signature (raw, 64 bytes) is the key's (raw, 32 bytes) over message.
bool VerifyEd25519(std::string_view key, std::string_view message, std::string_view signature);
