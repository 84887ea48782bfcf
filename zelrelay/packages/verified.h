// Whether a package file holds what the index says. A package the relay
// checked carries its digest with the size and time of change it had then,
// so a later run trusts it without hashing it again (unless the environment
// asks for it, base/environment.h).
#pragma once

#include <sys/stat.h>

#include <string>

#include "base/index.h"

void StampVerified(int fd, const std::string &sha256);
// True when target holds exactly the package the entry describes; known,
// when given, is target's status as just found.
bool PackagePresent(const std::string &target, const ComponentEntry &entry, const struct stat *known = nullptr);
