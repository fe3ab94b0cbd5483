// The upkeep of a store file: check, stats, compact.
#pragma once

#include <string>

namespace mapiadmin {

// Each prints what it found and returns the exit code (check: 1 when
// anything is damaged).
int CheckCommand(const std::string& profile, const std::string& store);
int StatsCommand(const std::string& profile, const std::string& store, const std::string& folderPath);
int CompactCommand(const std::string& profile, const std::string& store);

}  // namespace mapiadmin
