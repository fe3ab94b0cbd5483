// mapiadmin __complete: the names the shell completion offers (profiles,
// a profile's stores, schedules), one a line. Hidden from the help; quiet
// on every failure, so that a completion never prints an error.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace mapiadmin {

CLI::App* AddCompleteCommand(CLI::App& app, std::vector<std::string>& words);
int RunComplete(const std::vector<std::string>& words);

}  // namespace mapiadmin
