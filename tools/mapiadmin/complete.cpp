#include "complete.h"

#include <mapi/admin.h>

#include <iostream>

#include "schedule.h"

namespace admin = tesk::mapi::admin;

namespace mapiadmin {

CLI::App* AddCompleteCommand(CLI::App& app, std::vector<std::string>& words) {
  auto* c = app.add_subcommand("__complete", "names for the shell completion");
  c->group("");
  c->add_option("WHAT", words, "profiles | stores PROFILE | schedules")->required();
  return c;
}

int RunComplete(const std::vector<std::string>& words) {
  try {
    if (words[0] == "profiles") {
      for (const auto& p : admin::ListProfiles()) std::cout << p.name << "\n";
    } else if (words[0] == "stores" && words.size() == 2) {
      for (const auto& s : admin::ProfileStores(words[1])) std::cout << s.name << "\n";
    } else if (words[0] == "schedules") {
      for (const auto& name : ScheduleNames()) std::cout << name << "\n";
    }
  } catch (const std::exception&) {
  }
  return 0;
}

}  // namespace mapiadmin
