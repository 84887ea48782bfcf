// The publisher's signed statement.
#include "base/statement.h"

#include "base/digest.h"
#include "base/signature.h"
#include "base/status.h"
#include "base/text.h"

namespace {

constexpr std::string_view kStatementHeader = "[Statement]", kSignaturesHeader = "[Signatures]";

[[noreturn]] void Refuse() { Fail(RELAY_SIGNATURES_REFUSED); }

uint64_t Number(std::string_view text) {
  std::optional<uint64_t> value = ParseWhole(text);
  if (!value) Refuse();
  return *value;
}

// Each field once, nothing unknown: a statement reads one way only.
void SetField(Statement &s, std::string_view name, std::string_view value, int &seen) {
  int bit = name == "index" ? 1 : name == "version" ? 2 : name == "expires" ? 4 : 0;
  if (bit == 0 || (seen & bit)) Refuse();
  seen |= bit;
  if (bit == 1 && !IsSha256Hex(value)) Refuse();
  if (bit == 1) s.index = value;
  if (bit == 2) s.version = Number(value);
  if (bit == 4) {
    std::optional<int64_t> when = ParseUtc(value);
    if (!when) Refuse();
    s.expires = *when;
  }
}

// "signature = KEY SIGNATURE": base64 holds "=", so the two share a line.
void AddSignature(Statement &s, std::string_view name, std::string_view value) {
  std::string_view key = NextWord(value), signature = NextWord(value);
  if (name != "signature" || !Trim(value).empty()) Refuse();
  std::optional<std::string> rawKey = FromBase64(key), rawSignature = FromBase64(signature);
  if (!rawKey || rawKey->size() != kPublicKeyBytes || !rawSignature || rawSignature->size() != kSignatureBytes)
    Refuse();
  s.signatures.emplace_back(std::move(*rawKey), std::move(*rawSignature));
}

}  // namespace

Statement ParseStatement(std::string_view text) {
  Statement statement;
  enum { Before, Fields, Signatures } section = Before;
  int seen = 0;
  IniLine line;
  while (NextIniLine(text, line)) {
    if (line.text == kStatementHeader && section == Before) {
      section = Fields;
      continue;
    }
    if (line.text == kSignaturesHeader && section == Fields) {
      section = Signatures;
      continue;
    }
    if (line.kind != IniLine::Entry || section == Before) Refuse();
    if (section == Fields) SetField(statement, line.key, line.value, seen);
    else AddSignature(statement, line.key, line.value);
  }
  if (seen != 7) Refuse();
  return statement;
}

std::string SignedText(const Statement &s) {
  return "zelrelay statement 1\nindex=" + s.index + "\nversion=" + std::to_string(s.version) +
         "\nexpires=" + FormatUtc(s.expires) + "\n";
}

std::string StatementText(const Statement &s) {
  std::string text = std::string(kStatementHeader) + "\nindex = " + s.index + "\nversion = " +
                     std::to_string(s.version) + "\nexpires = " + FormatUtc(s.expires) + "\n\n" +
                     std::string(kSignaturesHeader) + "\n";
  for (const auto &[key, signature] : s.signatures)
    text += "signature = " + Base64(key) + " " + Base64(signature) + "\n";
  return text;
}
