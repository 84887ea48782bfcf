// What zelrelay-push knows of a bucket between pushes.
#include "push/record.h"

#include <sys/stat.h>

#include "base/digest.h"
#include "base/files.h"
#include "base/status.h"
#include "base/text.h"

namespace {

std::string PathOf(const std::string &repository, const std::string &target) {
  return JoinPath(JoinPath(repository, ".zelrelay.pushed"), Sha256OfBytes(target.data(), target.size()).substr(0, 16));
}

}  // namespace

PushRecord ReadPushRecord(const std::string &repository, const std::string &target) {
  PushRecord record;
  std::optional<std::string> text;
  try {
    text = ReadWholeFile(PathOf(repository, target));
  } catch (const RelayError &) {
  }
  std::string_view rest = text ? std::string_view(*text) : std::string_view(), section;
  IniLine line;
  while (NextIniLine(rest, line)) {
    if (line.kind == IniLine::Header) section = line.text;
    if (line.kind != IniLine::Entry) continue;
    std::string key(line.key);
    std::string_view value = line.value;
    if (section == "[Objects]") {
      PushedObject &o = record.objects[key];
      o.size = ParseWhole(NextWord(value)).value_or(0);
      o.etag = NextWord(value);
      o.sha256 = NextWord(value);
      o.stamp = NextWord(value);
    } else if (section == "[Retired]") {
      record.retired[key] = int64_t(ParseWhole(value).value_or(0));
    } else if (section == "[Uploads]") {
      PendingUpload &u = record.uploads[key];
      u.sha256 = NextWord(value);
      u.id = NextWord(value);
    }
  }
  return record;
}

void WritePushRecord(const std::string &repository, const std::string &target, const PushRecord &record) {
  std::string text = "# pushes of this repository to " + target + "\n[Objects]\n";
  for (const auto &[key, o] : record.objects)
    text += key + " = " + std::to_string(o.size) + " " + o.etag + " " + o.sha256 + " " + o.stamp + "\n";
  text += "[Retired]\n";
  for (const auto &[key, since] : record.retired) text += key + " = " + std::to_string(since) + "\n";
  text += "[Uploads]\n";
  for (const auto &[key, upload] : record.uploads) text += key + " = " + upload.sha256 + " " + upload.id + "\n";
  MakeDirectory(JoinPath(repository, ".zelrelay.pushed"));
  WriteFileAtomically(PathOf(repository, target), text);
}

std::string FileStampText(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return {};
  return std::to_string(info.st_ino) + "." + std::to_string(info.st_size) + "." +
         std::to_string(int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec);
}
