// Temporary repositories for the relay's tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/entity.h"
#include "base/index.h"
#include "zelrelay.h"

struct TempDirectory {
  std::filesystem::path path;
  TempDirectory();
  ~TempDirectory();
  std::string operator/(std::string_view name) const { return (path / name).string(); }
};

ZELRELAY_EntityItem Entity(const char *id);
std::string Slurp(const std::string &path);
void Spill(const std::string &path, const std::string &content);

// An upstream with a package per component, each holding one file
// "<id>.txt" whose text is the id; products list the ids given.
struct ProductLayout {
  const char *id;
  std::vector<const char *> components;
};
void PublishUpstream(const std::string &directory, const std::vector<ProductLayout> &products);
// The component's package gets other bytes under the same identifier, as
// when its publisher rebuilds it.
void Republish(const std::string &directory, const char *component);
