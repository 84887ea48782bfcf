// The publishing manifest: which payload folders become which components,
// and which products hold them (docs/repository-format.md).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelrelay.h"

struct ManifestComponent {
  ZELRELAY_EntityItem entity;
  std::string payload;    // folder, relative to the manifest
  std::string signature;  // optional file copied as the package's ".sig"
};

struct ManifestProduct {
  ZELRELAY_EntityItem entity;
  std::vector<ZELRELAY_EntityItem> components;
};

struct Manifest {
  std::vector<ManifestComponent> components;
  std::vector<ManifestProduct> products;
};

struct ManifestError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws ManifestError naming the line at fault.
Manifest ParseManifest(std::string_view text);
