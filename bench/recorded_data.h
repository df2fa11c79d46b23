// Where a benchmark finds its recorded input.
#pragma once

#include <iostream>
#include <optional>
#include <string>

#include "datasets.h"

namespace larkspur::bench {

// The recorded file's path, or nullopt after telling the reader it is absent
// (a benchmark without its data measures nothing rather than failing).
inline std::optional<std::string> RecordedFile(const std::string& relative) {
  auto path = datasets::SharedDataPath(relative);
  if (!path) std::cout << relative << " not available: nothing to measure\n";
  return path;
}

}  // namespace larkspur::bench
