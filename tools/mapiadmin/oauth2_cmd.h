// mapiadmin oauth2 add|login: authorization profiles for stores that log in
// with OAuth 2.0.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>

namespace mapiadmin {

// Adds the subcommands to app; the function returned runs the one that was
// parsed and gives its exit status, or nothing when none was.
std::function<std::optional<int>()> AddOAuth2Commands(CLI::App& app);

}  // namespace mapiadmin
