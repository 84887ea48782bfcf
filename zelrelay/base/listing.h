// The names in a directory. Every loop over a directory goes through here,
// so that the stream is owned from the moment it is opened.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Without "." and "..", in the order the file system gives. Through a
// descriptor, which stays open and unmoved: throws RELAY_IO_ERROR when the
// directory cannot be read.
std::vector<std::string> ListDirectory(int directory);
// By path: empty when the directory cannot be opened.
std::vector<std::string> ListDirectory(const std::string &path);
// The same, one name at a time: a directory of many files is never listed
// whole in memory.
void ForEachName(const std::string &path, const std::function<void(std::string_view)> &each);
