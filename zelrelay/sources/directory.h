// An upstream repository on disk, named by a path or a file:// URL.
#pragma once

#include <string>

#include "sources/source.h"

// A source URL as an upstream directory. Throws the status that says why a
// source cannot be used.
std::string SourceDirectory(const wchar_t *url);

class DirectorySource final : public Source {
 public:
  explicit DirectorySource(std::string directory) : directory_(std::move(directory)) {}
  std::optional<Index> ReadIndex() override;
  void FetchPackage(const ComponentEntry &entry, PackageSink &sink) override;
  std::optional<std::string> FetchSignature(const ComponentEntry &entry) override;

 private:
  std::string directory_;
};
