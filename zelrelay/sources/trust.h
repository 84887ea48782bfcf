// What a repository trusts: the publisher's keys, and how many of them must
// have signed an upstream index, from ".zelrelay.trust" (docs/trust.md). A
// repository that trusts keys accepts an upstream index only with a
// statement that enough of them signed, that has not expired, that is no
// older than the one it accepted last, and that names exactly that index;
// it keeps the publisher's index and statement for relays downstream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/statement.h"

inline constexpr const char *kTrustFile = ".zelrelay.trust";

struct Trust {
  size_t threshold = 1;
  std::vector<std::string> keys;  // raw public keys, each once
  // The highest version the repository accepted: of the statement it keeps,
  // when that still verifies with these keys; else 0.
  uint64_t accepted = 0;
};

// nullopt without a trust file; throws RELAY_BAD_TRUST_FILE for one that is
// not well formed or cannot be read as a file, never falling back to
// trusting anything.
std::optional<Trust> ReadTrust(const std::string &repository);

// Throws the status that says why the statement is refused: too few of the
// trusted keys signed it (RELAY_SIGNATURES_REFUSED), it expired before now
// (RELAY_STATEMENT_EXPIRED), or it is older than what was accepted
// (RELAY_INDEX_ROLLED_BACK).
void CheckStatement(const Statement &statement, const Trust &trust, int64_t now);

// An upstream index its statement names, as both came (the index as read
// is the upstream's).
struct SignedIndex {
  std::string indexText, statementText;
  Statement statement;
  bool fromIndexFile;  // server.ini itself, not a relay's kept signed.ini
};

// Puts the publisher's index (served with its companions, base/served.h)
// and statement in the repository, the statement last and ready before the
// index shows, so that a reader finds them apart only between two renames;
// what is there already is left untouched.
void KeepSigned(const std::string &repository, const SignedIndex &accepted);
