// What a repository trusts.
#include "sources/trust.h"

#include <algorithm>
#include <set>
#include <utility>

#include "base/files.h"
#include "base/served.h"
#include "base/signature.h"
#include "base/status.h"
#include "base/text.h"

namespace {

[[noreturn]] void Malformed() { Fail(RELAY_BAD_TRUST_FILE); }

size_t Threshold(std::string_view value) {
  std::optional<uint64_t> threshold = ParseWhole(value);
  if (!threshold) Malformed();
  return size_t(*threshold);
}

// How many distinct trusted keys signed exactly this statement.
size_t Signers(const Statement &statement, const Trust &trust) {
  std::string text = SignedText(statement);
  std::set<std::string> signers;
  for (const auto &[key, signature] : statement.signatures)
    if (std::find(trust.keys.begin(), trust.keys.end(), key) != trust.keys.end() && !signers.count(key) &&
        VerifyEd25519(key, text, signature))
      signers.insert(key);
  return signers.size();
}

// The statement this repository kept: the floor of what it accepts next.
uint64_t Accepted(const std::string &repository, const Trust &trust) {
  try {
    std::optional<std::string> kept = ReadWholeFile(JoinPath(repository, kStatementFile));
    if (!kept) return 0;
    Statement statement = ParseStatement(*kept);
    return Signers(statement, trust) >= trust.threshold ? statement.version : 0;
  } catch (const RelayError &) {
    return 0;  // unreadable or unsigned: nothing this trust accepted
  }
}

// A trust file that is there but cannot be read as one (a dangling link, a
// folder, no permission) fails closed, like a malformed one: never a
// silent fallback to taking unsigned indexes.
std::optional<std::string> TrustText(const std::string &repository) {
  std::string path = JoinPath(repository, kTrustFile);
  if (!Exists(path)) return std::nullopt;
  if (!IsRegularFile(path)) Malformed();
  try {
    std::optional<std::string> text = ReadWholeFile(path);
    if (!text) Malformed();
    return text;
  } catch (const RelayError &) {
    Malformed();
  }
}

}  // namespace

std::optional<Trust> ReadTrust(const std::string &repository) {
  std::optional<std::string> text = TrustText(repository);
  if (!text) return std::nullopt;
  Trust trust;
  bool thresholdGiven = false;
  std::string_view rest = *text;
  IniLine line;
  while (NextIniLine(rest, line)) {
    if (line.kind != IniLine::Entry) Malformed();
    std::string_view name = line.key, value = line.value;
    if (name == "threshold" && !std::exchange(thresholdGiven, true)) {
      trust.threshold = Threshold(value);
    } else if (name == "key") {
      std::optional<std::string> key = FromBase64(value);
      if (!key || key->size() != kPublicKeyBytes) Malformed();
      if (std::find(trust.keys.begin(), trust.keys.end(), *key) != trust.keys.end()) Malformed();
      trust.keys.push_back(std::move(*key));
    } else {
      Malformed();
    }
  }
  if (trust.keys.empty() || trust.threshold == 0 || trust.threshold > trust.keys.size()) Malformed();
  trust.accepted = Accepted(repository, trust);
  return trust;
}

void CheckStatement(const Statement &statement, const Trust &trust, int64_t now) {
  if (Signers(statement, trust) < trust.threshold) Fail(RELAY_SIGNATURES_REFUSED);
  if (statement.expires <= now) Fail(RELAY_STATEMENT_EXPIRED);
  if (statement.version < trust.accepted) Fail(RELAY_INDEX_ROLLED_BACK);
}

void KeepSigned(const std::string &repository, const SignedIndex &accepted) {
  std::string statement = JoinPath(repository, kStatementFile);
  std::optional<TempFile> ready;
  if (!FileHolds(statement, accepted.statementText)) ready.emplace(PrepareFile(statement, accepted.statementText));
  ServeText(repository, kSignedIndexFile, accepted.indexText);
  if (!ready) return;
  RenameTempFile(*ready);
  SyncDirectory(repository);
}
