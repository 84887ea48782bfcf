// Reading the relay's INI-like texts, and its string forms: one reader for
// every "key = value" text the relay reads (the index, merged.ini, a
// statement, a trust file, a manifest, the kept records), and wide/narrow
// conversion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Without surrounding blanks and a trailing carriage return.
std::string_view Trim(std::string_view text);
// Takes the next line off text, trimmed; false once text is used up.
bool NextLine(std::string_view &text, std::string_view &line);
// Takes the next blank-separated word off text; empty once none is left.
std::string_view NextWord(std::string_view &text);

// A line of an INI-like text that says something.
struct IniLine {
  enum Kind { Header, Entry, Bad };
  Kind kind = Bad;
  int number = 0;               // from 1; counts the lines skipped too
  std::string_view text;        // the whole line, trimmed: "[PATTERN]" for a header
  std::string_view key, value;  // of an entry, trimmed
};
// Takes the next line that is neither blank nor a comment (";" or "#") off
// text into line, whose number goes on from its last; false once text is
// used up. A line in brackets is a Header, one with "=" an Entry, anything
// else (an unclosed "[" too) Bad: what that means is the caller's to say.
bool NextIniLine(std::string_view &text, IniLine &line);

// Bytes as the module widens them (sign-extended) come back unchanged; other
// characters become UTF-8.
std::string WideToNarrow(const wchar_t *text);
std::wstring NarrowToWide(std::string_view text);

// A whole decimal number that is all of text; nullopt for anything else.
std::optional<uint64_t> ParseWhole(std::string_view text);
// Writes value in decimal at out, without snprintf's reading of a format,
// for texts written a line per record; returns the end.
char *PutDecimal(char *out, uint64_t value);

// A moment as "2027-01-31T00:00:00Z" (UTC, to the second), and back;
// nullopt for any other shape.
std::string FormatUtc(int64_t seconds);
std::optional<int64_t> ParseUtc(std::string_view text);
