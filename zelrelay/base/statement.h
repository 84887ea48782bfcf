// The publisher's signed statement, "statement.ini" beside its index: which
// index (by its SHA-256), which version, until when, and the signatures of
// the publisher's keys over exactly these three (docs/trust.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr const char *kStatementFile = "statement.ini";
// Where a relay keeps the publisher's index it accepted, beside its own:
// what its statement names, for relays downstream.
inline constexpr const char *kSignedIndexFile = "signed.ini";

struct Statement {
  std::string index;     // SHA-256 of the index's bytes, lower-case hex
  uint64_t version = 0;  // grows from one publication to the next
  int64_t expires = 0;   // seconds since the epoch
  std::vector<std::pair<std::string, std::string>> signatures;  // raw key, raw signature
};

// Throws RELAY_SIGNATURES_REFUSED for anything but a well-formed statement.
Statement ParseStatement(std::string_view text);
// The bytes each key signs.
std::string SignedText(const Statement &statement);
// The whole file.
std::string StatementText(const Statement &statement);
