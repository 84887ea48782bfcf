// The publishing manifest: which payload folders become which components,
// and which products hold them (docs/repository-format.md).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelrelay.h"

// Each part keeps the line it was given on, for the refusals that come
// once the whole manifest is read.
struct ManifestComponent {
  ZELRELAY_EntityItem entity;
  int line = 0;           // of its section
  std::string payload;    // folder, relative to the manifest
  std::string signature;  // optional file copied as the package's ".sig"
  int payloadLine = 0, signatureLine = 0;
};

struct ManifestProduct {
  ZELRELAY_EntityItem entity;
  int line = 0;
  std::vector<ZELRELAY_EntityItem> components;
  std::vector<int> componentLines;  // of each
};

struct Manifest {
  std::vector<ManifestComponent> components;
  std::vector<ManifestProduct> products;
};

struct ManifestError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "line N: why", the error of a manifest's line.
[[noreturn]] void RefuseLine(int line, const std::string &why);

// Throws ManifestError naming the line at fault: for a line that does not
// read, a component without payload or given twice, a product given twice
// or naming a component the manifest does not give.
Manifest ParseManifest(std::string_view text);
