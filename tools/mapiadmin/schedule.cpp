#include "schedule.h"

#include <mapi/admin.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;
namespace admin = tesk::mapi::admin;

namespace mapiadmin {

namespace {

constexpr char kPrefix[] = "tesk-save-";

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  if (!home.empty() && home[0] == '/') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  throw std::runtime_error("there is no home folder (HOME is not set)");
}

std::string UserName() {
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
  return Env("USER");
}

// Runs a program (no shell) and answers its exit code (-1: it did not run)
// and what it wrote on standard output and standard error.
std::pair<int, std::string> Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return {-1, std::strerror(errno)};
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe[0]);
    ::close(pipe[1]);
    return {-1, std::strerror(errno)};
  }
  if (pid == 0) {
    ::dup2(pipe[1], STDOUT_FILENO);
    ::dup2(pipe[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipe[1]);
  std::string output;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe[0], buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    output.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipe[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return {-1, output};
  return {WEXITSTATUS(status), output};
}

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The TeskSave a schedule starts, as an absolute path.
std::string FindProgram(const std::string& given) {
  if (!given.empty()) {
    if (!IsExecutable(given)) throw std::runtime_error("--program " + given + " is not a program that can be run");
    return fs::absolute(given).lexically_normal().string();
  }
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = self.parent_path() / "TeskSave";
    if (IsExecutable(beside.string())) return beside.string();
  }
  std::stringstream path(Env("PATH"));
  for (std::string folder; std::getline(path, folder, ':');) {
    if (folder.empty() || folder[0] != '/') continue;
    const std::string candidate = folder + "/TeskSave";
    if (IsExecutable(candidate)) return candidate;
  }
  throw std::runtime_error("TeskSave is neither next to mapiadmin nor on the PATH; give it with --program");
}

// This mapiadmin, as an absolute path: it prunes after each save.
std::string ThisProgram() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find mapiadmin's own file for the prune step: " + ec.message());
  return self.string();
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[k]) != fold(b[k])) return false;
  }
  return true;
}

// The profile must exist (or, for "", a default one), and each path must
// begin with one of its stores: a mistyped name shows now, not at night.
void CheckProfileAndPaths(const ScheduleRequest& r) {
  const auto profiles = admin::ListProfiles();
  std::string profile = r.profile;
  if (profile.empty()) {
    for (const auto& p : profiles)
      if (p.isDefault) profile = p.name;
    if (profile.empty()) throw std::runtime_error("there is no default profile; give the profile's name");
  } else if (std::none_of(profiles.begin(), profiles.end(), [&](const auto& p) { return p.name == profile; })) {
    throw std::runtime_error("there is no profile named \"" + profile + "\" (mapiadmin profile list)");
  }
  const auto stores = admin::ProfileStores(profile);
  for (const std::string* path : {&r.source, &r.target}) {
    std::string store = path->substr(0, path->find('\\'));
    while (!store.empty() && (store.back() == ' ' || store.back() == '\t')) store.pop_back();
    while (!store.empty() && (store.front() == ' ' || store.front() == '\t')) store.erase(0, 1);
    if (std::any_of(stores.begin(), stores.end(), [&](const auto& s) { return SameName(s.name, store); })) continue;
    std::string names;
    for (const auto& s : stores) names += (names.empty() ? "" : ", ") + s.name;
    throw std::runtime_error("the profile \"" + profile + "\" has no store \"" + store + "\" (its stores: " +
                             (names.empty() ? "none" : names) + ")");
  }
}

void CheckPathText(const std::string& what, const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      throw std::runtime_error(what + " must not contain control characters");
  if (!text.empty() && (text[0] == '-' || text[0] == '/'))
    throw std::runtime_error(what + " cannot begin with \"" + text.substr(0, 1) +
                             "\": the program would take it for a switch");
}

void CheckName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name[0] == '.' || name[0] == '-')
    throw std::runtime_error("a schedule's name is 1 to 100 letters, digits, \".\", \"_\" or \"-\", not beginning "
                             "with \".\" or \"-\"");
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) && c != '-' && c != '_' &&
        c != '.')
      throw std::runtime_error("a schedule's name is made of letters, digits, \".\", \"_\" and \"-\" (not \"" +
                               std::string(1, c) + "\")");
}

// What systemd makes of a calendar event: its normalized form. Without
// systemd-analyze the event is taken as it is.
std::string NormalizeCalendar(const std::string& event) {
  auto [rc, output] = Run({"systemd-analyze", "calendar", "--", event});
  if (rc < 0) return event;
  if (rc != 0) {
    while (!output.empty() && output.back() == '\n') output.pop_back();
    throw std::runtime_error("--on-calendar \"" + event + "\" is no calendar event systemd understands (" + output +
                             ")");
  }
  const std::string key = "Normalized form: ";
  const auto at = output.find(key);
  if (at == std::string::npos) return event;
  return output.substr(at + key.size(), output.find('\n', at) - at - key.size());
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::map<std::string, std::string> ReadKeys(const fs::path& file) {
  std::map<std::string, std::string> keys;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos) continue;
    keys.emplace(line.substr(0, eq), Trim(line.substr(eq + 1)));
  }
  return keys;
}

void WriteFile(const fs::path& file, const std::string& text) {
  const fs::path temporary = file.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw std::runtime_error("cannot write " + temporary.string());
  }
  std::error_code ec;
  fs::rename(temporary, file, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw std::runtime_error("cannot write " + file.string());
  }
}

// Specifiers ("%") are expanded in every value of a unit file.
std::string UnitText(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

// What the units hand to the program besides the command line: where the
// profiles, the registry file and the logs are, as this shell has them.
std::vector<std::pair<std::string, std::string>> ProfileEnvironment() {
  std::vector<std::pair<std::string, std::string>> env;
  for (const char* name : {"MAPI_CONFIG_DIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "WINREG_FILE"}) {
    const std::string value = Env(name);
    if (!value.empty() && value[0] == '/') env.emplace_back(name, value);
  }
  return env;
}

std::vector<std::string> Command(const std::string& program, const ScheduleRequest& r) {
  std::vector<std::string> argv{program};
  if (!r.mailto.empty()) argv.push_back("-mailto:" + r.mailto);
  argv.push_back(r.profile);
  argv.push_back(r.source);
  argv.push_back(r.target);
  return argv;
}

// The step after a good save: the snapshots in TARGET the policy does not
// keep are deleted.
std::vector<std::string> PruneStep(const ScheduleRequest& r) {
  std::vector<std::string> argv{ThisProgram(), "prune", r.profile, r.target};
  for (const std::string& option : PruneOptions(r.prune)) argv.push_back(option);
  return argv;
}

std::string Describe(const ScheduleRequest& r) {
  return "TeskSave of " + r.source + " into " + r.target +
         (r.profile.empty() ? std::string() : " (profile " + r.profile + ")");
}

int List() {
  const auto names = ScheduleNames();
  if (names.empty()) {
    std::cout << "No scheduled saves in " << UserUnitDirectory() << ".\n";
    return 0;
  }
  const fs::path dir = UserUnitDirectory();
  for (const auto& name : names) {
    const std::string unit = kPrefix + name;
    auto timer = ReadKeys(dir / (unit + ".timer"));
    auto service = ReadKeys(dir / (unit + ".service"));
    const bool enabled = fs::exists(dir / "timers.target.wants" / (unit + ".timer"));
    std::cout << name << "  " << (timer.count("OnCalendar") ? timer["OnCalendar"] : "?") << "  "
              << (enabled ? "enabled" : "not enabled") << "  " << service["ExecStart"] << "\n";
  }
  return 0;
}

int Remove(const std::string& name) {
  CheckName(name);
  const fs::path dir = UserUnitDirectory();
  const std::string unit = kPrefix + name;
  const fs::path timer = dir / (unit + ".timer"), service = dir / (unit + ".service");
  if (!fs::exists(timer) && !fs::exists(service))
    throw std::runtime_error("there is no schedule named " + name + " (mapiadmin schedule --list)");
  const fs::path wants = dir / "timers.target.wants" / (unit + ".timer");
  std::error_code ec;
  if (fs::is_symlink(wants, ec) || fs::exists(wants, ec)) {
    // Stopped and disabled by the user's service manager where one runs;
    // the link goes in any case.
    Run({"systemctl", "--user", "disable", "--now", unit + ".timer"});
    fs::remove(wants, ec);
  }
  for (const fs::path& file : {timer, service}) {
    if (fs::remove(file, ec)) std::cout << "Removed " << file.string() << "\n";
    if (ec) throw std::runtime_error("cannot remove " + file.string() + ": " + ec.message());
  }
  Run({"systemctl", "--user", "daemon-reload"});
  return 0;
}

int Cron(const std::string& program, const ScheduleRequest& r, const std::string& when) {
  std::string line = CronTime(when) + " ";
  for (const auto& [name, value] : ProfileEnvironment()) line += name + "=" + CronQuote(value) + " ";
  const auto argv = Command(program, r);
  for (size_t k = 0; k < argv.size(); ++k) line += (k ? " " : "") + CronQuote(argv[k]);
  if (!r.prune.empty()) {
    // Only after a save that succeeded (exit code 0).
    line += " &&";
    for (const std::string& word : PruneStep(r)) line += " " + CronQuote(word);
  }
  std::cout << "# " << kPrefix << r.name << ": " << Describe(r) << ", " << when << "\n" << line << "\n";
  return 0;
}

}  // namespace

std::string UserUnitDirectory() {
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = HomeDirectory() + "/.config";
  return config + "/systemd/user";
}

std::vector<std::string> ScheduleNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(UserUnitDirectory(), ec)) {
    const std::string file = entry.path().filename().string();
    const std::string suffix = ".timer";
    if (file.rfind(kPrefix, 0) == 0 && file.size() > sizeof kPrefix - 1 + suffix.size() &&
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(file.substr(sizeof kPrefix - 1, file.size() - suffix.size() - (sizeof kPrefix - 1)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string NameFromPath(const std::string& path) {
  std::string name;
  bool gap = false;
  for (char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) {
      if (gap && !name.empty()) name += '-';
      name += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      gap = false;
    } else {
      gap = true;
    }
  }
  if (name.size() > 60) name.resize(60);
  while (!name.empty() && name.back() == '-') name.pop_back();
  return name.empty() ? "save" : name;
}

std::string SystemdQuote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '%': out += "%%"; break;
      case '$': out += "$$"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string CronQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else if (c == '%')
      out += "\\%";
    else
      out += c;
  }
  return out + "'";
}

namespace {

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, by);) parts.push_back(part);
  if (!text.empty() && text.back() == by) parts.emplace_back();
  return parts;
}

int Number(const std::string& text, int low, int high, const std::string& event) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
    throw std::runtime_error("\"" + event + "\" cannot be written as a crontab line");
  const int n = std::stoi(text);
  if (n < low || n > high) throw std::runtime_error("\"" + event + "\" cannot be written as a crontab line");
  return n;
}

// One calendar component ("*", "05", "1,15", "9..17", "00/15") as a cron field.
std::string CronField(const std::string& component, int low, int high, const std::string& event) {
  if (component == "*") return "*";
  std::string field;
  for (const std::string& item : Split(component, ',')) {
    if (!field.empty()) field += ',';
    if (const auto range = item.find(".."); range != std::string::npos) {
      field += std::to_string(Number(item.substr(0, range), low, high, event)) + "-" +
               std::to_string(Number(item.substr(range + 2), low, high, event));
    } else if (const auto step = item.find('/'); step != std::string::npos) {
      const std::string from = item.substr(0, step);
      field += (from == "*" ? std::to_string(low) : std::to_string(Number(from, low, high, event))) + "-" +
               std::to_string(high) + "/" + std::to_string(Number(item.substr(step + 1), 1, high, event));
    } else {
      field += std::to_string(Number(item, low, high, event));
    }
  }
  return field;
}

std::string CronWeekdays(const std::string& days, const std::string& event) {
  static const char* const names[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  auto day = [&](const std::string& name) {
    for (int k = 0; k < 7; ++k)
      if (SameName(name, names[k]) || (name.size() > 3 && SameName(name.substr(0, 3), names[k]))) return k + 1;
    throw std::runtime_error("\"" + event + "\" cannot be written as a crontab line");
  };
  std::string field;
  for (const std::string& item : Split(days, ',')) {
    if (!field.empty()) field += ',';
    if (const auto range = item.find(".."); range != std::string::npos) {
      const int from = day(item.substr(0, range)), to = day(item.substr(range + 2));
      if (to < from) throw std::runtime_error("\"" + event + "\" cannot be written as a crontab line");
      field += std::to_string(from) + "-" + std::to_string(to);
    } else {
      field += std::to_string(day(item));
    }
  }
  return field;
}

}  // namespace

std::string CronTime(const std::string& onCalendar) {
  if (onCalendar == "daily") return "0 0 * * *";
  if (onCalendar == "hourly") return "0 * * * *";
  if (onCalendar == "weekly") return "0 0 * * 1";
  if (onCalendar == "monthly") return "0 0 1 * *";
  std::vector<std::string> words;
  for (const std::string& w : Split(onCalendar, ' '))
    if (!w.empty()) words.push_back(w);
  std::string weekdays = "*", date = "*-*-*", time;
  if (words.size() == 3) {
    weekdays = CronWeekdays(words[0], onCalendar);
    date = words[1];
    time = words[2];
  } else if (words.size() == 2 && words[0].find('-') != std::string::npos) {
    date = words[0];
    time = words[1];
  } else if (words.size() == 2) {
    weekdays = CronWeekdays(words[0], onCalendar);
    time = words[1];
  } else if (words.size() == 1) {
    time = words[0];
  } else {
    throw std::runtime_error("\"" + onCalendar + "\" cannot be written as a crontab line");
  }
  const auto d = Split(date, '-');
  const auto t = Split(time, ':');
  if (d.size() != 3 || d[0] != "*" || t.size() < 2 || t.size() > 3 || (t.size() == 3 && t[2] != "00" && t[2] != "0"))
    throw std::runtime_error("\"" + onCalendar + "\" cannot be written as a crontab line");
  return CronField(t[1], 0, 59, onCalendar) + " " + CronField(t[0], 0, 23, onCalendar) + " " +
         CronField(d[2], 1, 31, onCalendar) + " " + CronField(d[1], 1, 12, onCalendar) + " " + weekdays;
}

std::vector<std::string> PruneOptions(const std::string& policy) {
  static const char* const kinds[] = {"last", "hourly", "daily", "weekly", "monthly", "yearly"};
  const std::string usage = "--prune \"" + policy +
                            "\" is no policy; it is KIND=N[,KIND=N...] with KIND one of last, hourly, daily, weekly, "
                            "monthly, yearly (\"daily=7,weekly=4\")";
  std::vector<std::string> options;
  bool keeps = false;
  std::vector<std::string> seen;
  for (const std::string& item : Split(policy, ',')) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) throw std::runtime_error(usage);
    std::string kind = item.substr(0, eq);
    if (kind.rfind("keep-", 0) == 0) kind.erase(0, 5);
    const std::string count = item.substr(eq + 1);
    if (std::find(std::begin(kinds), std::end(kinds), kind) == std::end(kinds) || count.empty() ||
        count.size() > 7 || count.find_first_not_of("0123456789") != std::string::npos)
      throw std::runtime_error(usage);
    if (std::find(seen.begin(), seen.end(), kind) != seen.end())
      throw std::runtime_error("--prune names " + kind + " twice");
    seen.push_back(kind);
    const int n = std::stoi(count);
    if (n > 1000000) throw std::runtime_error(usage);
    if (n > 0) keeps = true;
    options.push_back("--keep-" + kind);
    options.push_back(std::to_string(n));
  }
  if (!keeps)
    throw std::runtime_error("--prune \"" + policy + "\" keeps no snapshot: it would delete every one after each save");
  return options;
}

CLI::App* AddScheduleCommand(CLI::App& app, ScheduleRequest& r) {
  auto* c = app.add_subcommand("schedule", "Save a folder by itself every day or hour (a systemd user timer or a "
                                           "crontab line); list and remove such schedules");
  c->add_option("PROFILE", r.profile, "profile name (\"\": the default profile)");
  c->add_option("SOURCE", r.source, "folder path to save");
  c->add_option("TARGET", r.target, "folder path to save into");
  auto* daily = c->add_flag("--daily", r.daily, "every day at midnight (the default)");
  auto* hourly = c->add_flag("--hourly", r.hourly, "every hour");
  auto* calendar = c->add_option("--on-calendar", r.onCalendar, "a systemd calendar event (\"Mon..Fri 02:30\")");
  daily->excludes(hourly)->excludes(calendar);
  hourly->excludes(calendar);
  c->add_option("--name", r.name, "the schedule's name (default: made of SOURCE)");
  c->add_option("--mailto", r.mailto, "mail the save's ERROR lines to this address");
  c->add_option("--prune", r.prune,
                "after each good save, delete the snapshots in TARGET this policy does not keep (mapiadmin prune; "
                "\"daily=7,weekly=4,monthly=12\")")
      ->type_name("POLICY");
  c->add_option("--program", r.program, "the TeskSave to run (default: next to mapiadmin, else from PATH)");
  auto* enable = c->add_flag("--enable", r.enable, "start the timer now (systemctl --user enable --now)");
  auto* cron = c->add_flag("--cron", r.cron, "print the crontab line instead of writing units");
  enable->excludes(cron);
  c->add_flag("--force", r.force, "replace a schedule of the same name");
  auto* list = c->add_flag("--list", r.list, "list the schedules");
  auto* remove = c->add_option("--remove", r.remove, "stop and remove the schedule NAME")->type_name("NAME");
  list->excludes(remove);
  return c;
}

int RunSchedule(const ScheduleRequest& request) {
  if (request.list) return List();
  if (!request.remove.empty()) return Remove(request.remove);
  ScheduleRequest r = request;
  if (r.source.empty() || r.target.empty())
    throw std::runtime_error("schedule needs PROFILE SOURCE TARGET (or --list, --remove NAME)");
  CheckPathText("SOURCE", r.source);
  CheckPathText("TARGET", r.target);
  CheckPathText("PROFILE", r.profile);
  if (r.mailto.find_first_of(" \t\r\n") != std::string::npos || (!r.mailto.empty() && r.mailto.find('@') == std::string::npos))
    throw std::runtime_error("--mailto " + r.mailto + " is no mail address");
  if (!r.prune.empty()) PruneOptions(r.prune);
  if (r.name.empty()) r.name = NameFromPath(r.source);
  CheckName(r.name);
  CheckProfileAndPaths(r);
  const std::string program = FindProgram(r.program);
  const std::string when = r.hourly ? "hourly" : !r.onCalendar.empty() ? NormalizeCalendar(r.onCalendar) : "daily";
  if (r.cron) return Cron(program, r, when);

  const fs::path dir = UserUnitDirectory();
  const std::string unit = kPrefix + r.name;
  const fs::path service = dir / (unit + ".service"), timer = dir / (unit + ".timer");
  if (!r.force && (fs::exists(service) || fs::exists(timer)))
    throw std::runtime_error("a schedule named " + r.name + " exists (" + timer.string() +
                             "); --force replaces it, --name gives this one another name");
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot make " + dir.string() + ": " + ec.message());

  std::string s = "# Written by mapiadmin schedule; mapiadmin schedule --remove " + r.name + " removes it.\n";
  s += "[Unit]\nDescription=" + UnitText(Describe(r)) + "\n";
  s += "Documentation=man:TeskSave(1) man:mapiadmin(1)\n\n[Service]\nType=oneshot\n";
  for (const auto& [name, value] : ProfileEnvironment()) s += "Environment=" + SystemdQuote(name + "=" + value) + "\n";
  s += "ExecStart=";
  const auto argv = Command(program, r);
  for (size_t k = 0; k < argv.size(); ++k) s += (k ? " " : "") + SystemdQuote(argv[k]);
  s += "\n";
  if (!r.prune.empty()) {
    // Runs only when the save succeeded: a failed save prunes nothing.
    const auto prune = PruneStep(r);
    s += "ExecStartPost=";
    for (size_t k = 0; k < prune.size(); ++k) s += (k ? " " : "") + SystemdQuote(prune[k]);
    s += "\n";
  }
  s += "# A save runs in the background: gently with the machine.\nNice=10\nIOSchedulingClass=idle\n";

  std::string t = "# Written by mapiadmin schedule; mapiadmin schedule --remove " + r.name + " removes it.\n";
  t += "[Unit]\nDescription=" + UnitText(Describe(r)) + ", " + UnitText(when) + "\n";
  t += "Documentation=man:mapiadmin(1)\n\n[Timer]\nOnCalendar=" + UnitText(when) + "\n";
  t += "# A save missed while the computer was off runs when it is on again.\nPersistent=true\n\n";
  t += "[Install]\nWantedBy=timers.target\n";

  WriteFile(service, s);
  WriteFile(timer, t);
  std::cout << "Wrote " << service.string() << "\nWrote " << timer.string() << "\n";
  const std::string start = "systemctl --user enable --now " + unit + ".timer";
  if (r.enable) {
    auto [rc, output] = Run({"systemctl", "--user", "enable", "--now", unit + ".timer"});
    if (rc != 0)
      throw std::runtime_error("systemctl could not start the timer" +
                               (output.empty() ? std::string() : ": " + Trim(output)) +
                               "\nThe units are written; start them with:\n  " + start);
    std::cout << "Started " << unit << ".timer (" << when << ").\n";
  } else {
    std::cout << "Start it with:\n  " << start << "\n";
  }
  const std::string user = UserName();
  if (!user.empty() && !fs::exists("/var/lib/systemd/linger/" + user))
    std::cout << "A user's timers run while the user is logged in; to run it at any time:\n  loginctl enable-linger "
              << user << "\n";
  return 0;
}

}  // namespace mapiadmin
