// An upstream repository on disk, named by a path or a file:// URL.
#pragma once

#include <string>

#include "base/files.h"
#include "sources/source.h"

// A source URL as an upstream directory: a path, or a file:// URL of this
// host. Throws the status that says why a source cannot be used.
std::string SourceDirectory(const std::string &url);

// Every file is opened below the directory and must be a regular file: a
// link that leads out of it, a FIFO or a device is refused at once.
class DirectorySource final : public Source {
 public:
  explicit DirectorySource(std::string directory);
  // server.ini; when it lists no component, as in a relay's repository after
  // the clean-up, merged.ini as well.
  std::optional<Index> ReadIndex() override;
  void Fetch(const ComponentEntry &entry, ByteSink &sink, Network &network,
             std::function<void(RelayStatus)> done) override;
  std::optional<std::string> FetchSignature(const ComponentEntry &entry) override;
  std::optional<std::string> ReadText(const std::string &name, TextForm form) override;
  bool IsDirectory(const std::string &path) const override;

 private:
  std::string directory_;
  FileDescriptor root_;
};
