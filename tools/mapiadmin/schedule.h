// mapiadmin schedule: a save that runs by itself, the way Linux runs such
// things. It writes a systemd user service and timer
// (~/.config/systemd/user/tesk-save-NAME.service and .timer) that start
// TeskSave with the profile's environment, or prints the crontab line that
// does the same; it lists and removes what it wrote.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace mapiadmin {

struct ScheduleRequest {
  std::string profile, source, target;
  bool daily = false, hourly = false;
  std::string onCalendar;
  std::string name;     // the schedule's name; derived from the source when empty
  std::string mailto;   // report address of the save's ERROR lines
  std::string prune;    // snapshots to keep after each good save ("daily=7,weekly=4"); empty: all
  std::string program;  // the TeskSave to run; next to mapiadmin, else from PATH
  bool enable = false;  // start the timer with systemctl
  bool cron = false;    // print the crontab line instead
  bool force = false;   // replace a schedule of that name
  bool list = false;
  std::string remove;
};

// Adds the subcommand "schedule" to app, filling request when it is used.
CLI::App* AddScheduleCommand(CLI::App& app, ScheduleRequest& request);
// Runs it; messages go to standard output, failures are thrown as
// std::runtime_error with the message for the user.
int RunSchedule(const ScheduleRequest& request);

// The pieces, for the tests and the completion.
// ${XDG_CONFIG_HOME:-~/.config}/systemd/user
std::string UserUnitDirectory();
// The names of the schedules written there (tesk-save-NAME.timer).
std::vector<std::string> ScheduleNames();
// A schedule name made of a folder path: its ASCII letters and digits,
// lower case, everything else one "-" ("Work Mail\INBOX": work-mail-inbox).
std::string NameFromPath(const std::string& path);
// One argument of an ExecStart= line: in double quotes, with backslash,
// quote, "%" and "$" written so that systemd hands the text on unchanged.
std::string SystemdQuote(const std::string& text);
// One word of a crontab command line: in single quotes for the shell, "%"
// escaped for cron.
std::string CronQuote(const std::string& text);
// A calendar event (daily, hourly, weekly, monthly, or the normalized
// "[WEEKDAYS] *-*-* HH:MM:SS" form) as the five time fields of a crontab
// line; throws when cron has no such time.
std::string CronTime(const std::string& onCalendar);
// A --prune policy ("daily=7,weekly=4,monthly=12"; kinds last, hourly,
// daily, weekly, monthly, yearly) as the options of mapiadmin prune
// ("--keep-daily", "7", ...); throws when it is not one or keeps nothing.
std::vector<std::string> PruneOptions(const std::string& policy);

}  // namespace mapiadmin
