#pragma once

#include <cstdint>
#include <string>

#include "folders.h"

namespace mapiadmin {

struct GenerateOptions {
  std::uint64_t messages = 0;
  std::uint64_t seed = 1;
  bool attachments = false;
};

// Fills the folder with deterministic, realistic messages; returns the
// number of bytes of content written.
std::uint64_t Generate(IMAPIFolder* folder, const GenerateOptions& options);

}  // namespace mapiadmin
