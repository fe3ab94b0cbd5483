// mapiadmin schedule: the systemd units it writes pass systemd-analyze
// verify and say what the user asked for, in systemd's quoting; the crontab
// line it prints runs the save through sh as cron would; what it refuses
// leaves nothing behind; --list and --remove see what it wrote.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fixture.h"

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Schedule : public ::testing::Test {
 protected:
  Schedule() {
    config = f.dir / "xdg";
    units = config + "/systemd/user";
    state = f.dir / "state";
  }
  // mapiadmin with its own XDG folders; standard error goes with the output.
  int Run(const std::string& args, std::string* out) {
    return RunCommand("env XDG_CONFIG_HOME=" + Quote(config) + " XDG_STATE_HOME=" + Quote(state) + " " +
                          Quote(MAPIADMIN_PATH) + " " + args + " 2>&1",
                      out);
  }
  std::string Schedule_(const std::string& args) {
    std::string out;
    EXPECT_EQ(Run("schedule " + args, &out), 0) << out;
    return out;
  }
  static std::string Program() { return std::string("--program ") + Quote(TESKSAVE_PATH); }
  int Verify(const std::string& unit, std::string* out) {
    return RunCommand("env XDG_CONFIG_HOME=" + Quote(config) + " systemd-analyze verify --man=no " +
                          Quote(units + "/" + unit) + " 2>&1",
                      out);
  }
  std::vector<std::string> UnitFiles() {
    std::vector<std::string> files;
    if (fs::exists(units))
      for (const auto& e : fs::directory_iterator(units)) files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    return files;
  }

  ProfileFixture f;
  std::string config, units, state;
};

TEST_F(Schedule, WritesAServiceAndTimerThatSystemdAccepts) {
  const std::string out =
      Schedule_("\"\" 'Personal Folders\\Inbox' Archive --mailto admin@example.org " + Program());
  EXPECT_THAT(out, HasSubstr("Wrote " + units + "/tesk-save-personal-folders-inbox.service\n"));
  EXPECT_THAT(out, HasSubstr("Start it with:\n  systemctl --user enable --now tesk-save-personal-folders-inbox.timer\n"));
  EXPECT_THAT(UnitFiles(), ::testing::ElementsAre("tesk-save-personal-folders-inbox.service",
                                                  "tesk-save-personal-folders-inbox.timer"));

  const std::string service = Slurp(units + "/tesk-save-personal-folders-inbox.service");
  // The profile's environment, the program, the empty profile as an empty
  // argument, the backslash doubled as systemd's quoting wants it.
  EXPECT_THAT(service, HasSubstr("\nEnvironment=\"MAPI_CONFIG_DIR=" + f.dir.path() + "/config\"\n"));
  EXPECT_THAT(service, HasSubstr("\nEnvironment=\"XDG_STATE_HOME=" + state + "\"\n"));
  EXPECT_THAT(service, HasSubstr("\nExecStart=\"" + std::string(TESKSAVE_PATH) +
                                     "\" \"-mailto:admin@example.org\" \"\" \"Personal Folders\\\\Inbox\" \"Archive\"\n"));
  EXPECT_THAT(service, HasSubstr("\nType=oneshot\n"));
  const std::string timer = Slurp(units + "/tesk-save-personal-folders-inbox.timer");
  EXPECT_THAT(timer, HasSubstr("\nOnCalendar=daily\n"));
  EXPECT_THAT(timer, HasSubstr("\nPersistent=true\n"));
  EXPECT_THAT(timer, HasSubstr("\n[Install]\nWantedBy=timers.target\n"));

  std::string verify;
  EXPECT_EQ(Verify("tesk-save-personal-folders-inbox.timer", &verify), 0) << verify;
  EXPECT_EQ(verify, "");
  EXPECT_EQ(Verify("tesk-save-personal-folders-inbox.service", &verify), 0) << verify;
  EXPECT_EQ(verify, "");

  // systemd-analyze does see a broken unit (the check is no formality).
  std::ofstream(units + "/tesk-save-broken.service") << "[Service]\nType=oneshot\nExecStart=\"no/such\" \"x\"\n";
  EXPECT_NE(Verify("tesk-save-broken.service", &verify), 0) << verify;
}

TEST_F(Schedule, NamesTimesAndCharactersThatNeedQuoting) {
  // A folder whose name holds a quote, a percent sign, a dollar and letters
  // beyond ASCII.
  Mapiadmin("folder create Test 'Personal Folders\\Bob'\\''s 100% $HOME Ärger'");
  Schedule_("Test 'Personal Folders\\Bob'\\''s 100% $HOME Ärger' Archive --name bob --hourly " + Program());
  const std::string service = Slurp(units + "/tesk-save-bob.service");
  EXPECT_THAT(service, HasSubstr(" \"Test\" \"Personal Folders\\\\Bob's 100%% $$HOME Ärger\" \"Archive\"\n"));
  EXPECT_THAT(service, HasSubstr("Description=TeskSave of Personal Folders\\Bob's 100%% $HOME Ärger into Archive"));
  EXPECT_THAT(Slurp(units + "/tesk-save-bob.timer"), HasSubstr("\nOnCalendar=hourly\n"));
  std::string verify;
  EXPECT_EQ(Verify("tesk-save-bob.service", &verify), 0) << verify;
  EXPECT_EQ(verify, "");

  // A calendar event is written as systemd normalizes it; one systemd does
  // not understand is refused, and nothing is written.
  Schedule_("Test 'Personal Folders\\Inbox' Archive --on-calendar 'Mon..Fri 02:30' " + Program());
  EXPECT_THAT(Slurp(units + "/tesk-save-personal-folders-inbox.timer"),
              HasSubstr("\nOnCalendar=Mon..Fri *-*-* 02:30:00\n"));
  EXPECT_EQ(Verify("tesk-save-personal-folders-inbox.timer", &verify), 0) << verify;
  std::string out;
  EXPECT_EQ(Run("schedule Test 'Personal Folders' Archive --on-calendar 'every full moon' " + Program(), &out), 1);
  EXPECT_THAT(out, HasSubstr("mapiadmin: --on-calendar \"every full moon\" is no calendar event systemd understands"));
  EXPECT_EQ(UnitFiles().size(), 4u);

  // The same name again: refused unless --force.
  EXPECT_EQ(Run("schedule Test 'Personal Folders\\Inbox' Archive --hourly " + Program(), &out), 1);
  EXPECT_THAT(out, HasSubstr("a schedule named personal-folders-inbox exists"));
  EXPECT_THAT(Slurp(units + "/tesk-save-personal-folders-inbox.timer"), HasSubstr("02:30:00"));
  Schedule_("Test 'Personal Folders\\Inbox' Archive --hourly --force " + Program());
  EXPECT_THAT(Slurp(units + "/tesk-save-personal-folders-inbox.timer"), HasSubstr("\nOnCalendar=hourly\n"));
}

TEST_F(Schedule, PruneIsAStepAfterAGoodSave) {
  Schedule_("Test 'Personal Folders\\Inbox' Archive --prune daily=7,keep-weekly=4,monthly=0 " + Program());
  const std::string service = Slurp(units + "/tesk-save-personal-folders-inbox.service");
  // ExecStartPost= of a oneshot service runs only when ExecStart= ended
  // with 0: a failed save deletes no snapshot.
  EXPECT_THAT(service, HasSubstr("\nExecStartPost=\"" + std::string(MAPIADMIN_PATH) +
                                     "\" \"prune\" \"Test\" \"Archive\" \"--keep-daily\" \"7\" \"--keep-weekly\" "
                                     "\"4\" \"--keep-monthly\" \"0\"\n"));
  std::string verify;
  EXPECT_EQ(Verify("tesk-save-personal-folders-inbox.service", &verify), 0) << verify;
  EXPECT_EQ(verify, "");

  // In a crontab line: after "&&".
  std::string out;
  ASSERT_EQ(Run("schedule \"\" 'Personal Folders' Archive --cron --prune last=3 " + Program(), &out), 0) << out;
  EXPECT_THAT(out, HasSubstr("'Archive' && '" + std::string(MAPIADMIN_PATH) + "' 'prune' '' 'Archive' '--keep-last' '3'\n"));

  // Without --prune: no such step.
  Schedule_("Test 'Personal Folders' Archive --name plain " + Program());
  EXPECT_THAT(Slurp(units + "/tesk-save-plain.service"), Not(HasSubstr("ExecStartPost")));
}

TEST_F(Schedule, RefusesWhatWouldFailAtNightAndWritesNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Nobody 'Personal Folders' Archive", "there is no profile named \"Nobody\""},
      {"Test 'Private Folders\\Inbox' Archive", "the profile \"Test\" has no store \"Private Folders\" (its stores: "
                                                 "Personal Folders, Archive)"},
      {"Test 'Personal Folders' Archiv", "has no store \"Archiv\""},
      {"Test 'Personal Folders'", "schedule needs PROFILE SOURCE TARGET"},
      {"Test 'Personal Folders' Archive --name ../evil", "a schedule's name"},
      {"Test 'Personal Folders' Archive --mailto nobody", "--mailto nobody is no mail address"},
      {"Test 'Personal Folders' Archive --program /no/such/TeskSave", "is not a program that can be run"},
      {"Test 'Personal Folders' Archive --daily --hourly", "excludes"},
      {"Test 'Personal Folders' Archive --prune daily", "--prune \"daily\" is no policy"},
      {"Test 'Personal Folders' Archive --prune daily=7,fortnightly=2", "is no policy; it is KIND=N"},
      {"Test 'Personal Folders' Archive --prune daily=-1", "is no policy"},
      {"Test 'Personal Folders' Archive --prune daily=7,daily=3", "--prune names daily twice"},
      {"Test 'Personal Folders' Archive --prune daily=0,last=0", "keeps no snapshot"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args);
    std::string out;
    EXPECT_NE(Run("schedule " + args + (args.find("--program") == std::string::npos ? " " + Program() : ""), &out), 0);
    EXPECT_THAT(out, HasSubstr(message));
  }
  EXPECT_TRUE(UnitFiles().empty());
}

TEST_F(Schedule, ListAndRemove) {
  std::string out;
  EXPECT_EQ(Run("schedule --list", &out), 0);
  EXPECT_THAT(out, HasSubstr("No scheduled saves"));
  Schedule_("Test 'Personal Folders\\Inbox' Archive " + Program());
  Schedule_("Test 'Personal Folders' Archive --name all --hourly " + Program());
  // Enabled as systemctl enable does it: a link in timers.target.wants.
  fs::create_directories(units + "/timers.target.wants");
  fs::create_symlink(units + "/tesk-save-all.timer", units + "/timers.target.wants/tesk-save-all.timer");
  EXPECT_EQ(Run("schedule --list", &out), 0);
  EXPECT_THAT(out, HasSubstr("all  hourly  enabled  \"" + std::string(TESKSAVE_PATH) +
                                 "\" \"Test\" \"Personal Folders\" \"Archive\"\n"));
  EXPECT_THAT(out, HasSubstr("personal-folders-inbox  daily  not enabled  "));
  // The names the completion offers.
  EXPECT_EQ(RunCommand("env XDG_CONFIG_HOME=" + Quote(config) + " " + Quote(MAPIADMIN_PATH) + " __complete schedules",
                       &out),
            0);
  EXPECT_EQ(out, "all\npersonal-folders-inbox\n");

  EXPECT_EQ(Run("schedule --remove all", &out), 0) << out;
  EXPECT_THAT(out, HasSubstr("Removed " + units + "/tesk-save-all.timer\n"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(units + "/timers.target.wants/tesk-save-all.timer")));
  // (systemctl disable may also take the emptied timers.target.wants.)
  auto left = UnitFiles();
  std::erase(left, "timers.target.wants");
  EXPECT_THAT(left, ::testing::ElementsAre("tesk-save-personal-folders-inbox.service",
                                           "tesk-save-personal-folders-inbox.timer"));
  EXPECT_EQ(Run("schedule --remove all", &out), 1);
  EXPECT_THAT(out, HasSubstr("there is no schedule named all"));
}

TEST_F(Schedule, CronLineRunsTheSaveAsCronWould) {
  Mapiadmin("generate Test 'Personal Folders\\Bob'\\''s 100% Inbox' --messages 7 --seed 3");
  std::string out;
  ASSERT_EQ(Run("schedule Test 'Personal Folders\\Bob'\\''s 100% Inbox' Archive --cron --on-calendar 'Mon..Fri 02:30' " +
                    Program(),
                &out),
            0)
      << out;
  EXPECT_TRUE(UnitFiles().empty()) << "--cron writes no unit";
  std::istringstream lines(out);
  std::string comment, line;
  std::getline(lines, comment);
  std::getline(lines, line);
  EXPECT_THAT(comment, ::testing::StartsWith("# tesk-save-personal-folders-bob-s-100-inbox: TeskSave of "));
  ASSERT_THAT(line, ::testing::StartsWith("30 2 * * 1-5 MAPI_CONFIG_DIR='"));
  EXPECT_THAT(line, HasSubstr("'Personal Folders\\Bob'\\''s 100\\% Inbox' 'Archive'"));

  // What cron does with the command: an unescaped % ends it, \% is a %;
  // then sh runs it, here as it would at 02:30.
  std::string command;
  int fields = 0;
  size_t at = 0;
  while (fields < 5) {
    at = line.find(' ', at) + 1;
    ++fields;
  }
  for (size_t k = at; k < line.size(); ++k) {
    if (line[k] == '\\' && k + 1 < line.size() && line[k + 1] == '%') {
      command += '%';
      ++k;
    } else {
      ASSERT_NE(line[k], '%') << "an unescaped % in " << line;
      command += line[k];
    }
  }
  std::ofstream(f.dir / "cron.sh") << command << "\n";
  EXPECT_EQ(RunCommand("env -i HOME=" + Quote(f.dir.path()) + " PATH=/usr/bin:/bin sh " + Quote(f.dir / "cron.sh") + " 2>&1",
                       &out),
            0)
      << command << "\n" << out;
  EXPECT_THAT(Mapiadmin("tree Test Archive"), HasSubstr(" Personal Folders_Bob's 100% Inbox"));

  // Cron has no calendar of its own: what it cannot say is refused.
  const std::vector<std::pair<std::string, std::string>> times = {
      {"daily", "0 0 * * *"},      {"hourly", "0 * * * *"},          {"weekly", "0 0 * * 1"},
      {"*:0/15", "0-59/15 * * * *"}, {"Sat,Sun 9..17:00", "0 9-17 * * 6,7"}, {"*-*-01 04:05", "5 4 1 * *"},
  };
  for (const auto& [event, cron] : times) {
    SCOPED_TRACE(event);
    ASSERT_EQ(Run("schedule Test 'Personal Folders' Archive --cron --on-calendar '" + event + "' " + Program(), &out), 0)
        << out;
    EXPECT_THAT(out, HasSubstr("\n" + cron + " "));
  }
  EXPECT_EQ(Run("schedule Test 'Personal Folders' Archive --cron --on-calendar '*:*:30' " + Program(), &out), 1);
  EXPECT_THAT(out, HasSubstr("cannot be written as a crontab line"));
}

}  // namespace
