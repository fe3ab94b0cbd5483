// mapiadmin prune on a store full of snapshots: which it keeps follows the
// policy as restic's forget applies it (the newest of each hour, day, ISO
// week, month and year, and the newest N), each source on its own; folders
// without a time stamp are never touched.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>

#include "fixture.h"

using namespace testing_support;

namespace {

// Every third day at 10:00 from 30 October 2025, and a few more at the end.
std::vector<std::string> SnapshotTimes() {
  std::vector<std::string> out;
  using namespace std::chrono;
  for (sys_days d = year{2025} / October / 30; d <= year{2026} / December / 9; d += days{3}) {
    const year_month_day ymd{d};
    char text[32];
    std::snprintf(text, sizeof text, "%04d.%02u.%02u 10:00", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    out.push_back(text);
  }
  for (const char* t : {"2026.12.09 12:00", "2026.12.09 08:00", "2026.12.08 23:59", "2026.12.09 12:30"}) out.push_back(t);
  return out;
}

std::string Prune(const std::string& args, int* rc = nullptr) {
  std::string out;
  const int r = RunCommand(std::string(MAPIADMIN_PATH) + " prune Test Archive " + args + " 2>&1", &out);
  if (rc) *rc = r;
  return out;
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  return out;
}

}  // namespace

TEST(Prune, KeepsWhatThePolicyKeepsForEachSourceAndNothingElseIsTouched) {
  ProfileFixture f;
  const auto times = SnapshotTimes();
  {
    auto session = f.Logon();
    auto top = OpenFolder(OpenStore(session, "Archive"), "");
    for (const auto& t : times) CreateFolder(top, t + " Mail");
    AddMessages(OpenFolder(OpenStore(session, "Archive"), "2026.12.09 12:30 Mail"), 2);
    AddMessages(OpenFolder(OpenStore(session, "Archive"), "2026.12.09 08:00 Mail"), 2);
    for (const char* other : {"2026.01.01 10:00 Other", "2026.12.01 10:00 Other", "Notes", "2026.13.01 10:00 Bad",
                              "2026.02.30 10:00 Bad", "2026.12.0910:00 Bad"})
      CreateFolder(top, other);
  }
  const std::string policy = "--keep-last 2 --keep-daily 3 --keep-weekly 3 --keep-monthly 4 --keep-yearly 2";
  // Kept, newest first, with the reasons (an ISO week runs Monday to
  // Sunday: 30 November and 6 December 2026 are one week).
  const std::vector<std::string> kept{
      "2026.12.09 12:30 Mail  (last, daily, weekly, monthly, yearly)", "2026.12.09 12:00 Mail  (last)",
      "2026.12.08 23:59 Mail  (daily)",
      "2026.12.06 10:00 Mail  (daily, weekly)",
      "2026.11.30 10:00 Mail  (monthly)",
      "2026.11.27 10:00 Mail  (weekly)",
      "2026.10.31 10:00 Mail  (monthly)",
      "2026.09.28 10:00 Mail  (monthly)",
      "2025.12.29 10:00 Mail  (yearly)",
      "2026.12.01 10:00 Other  (last, daily, weekly, monthly, yearly)",
      "2026.01.01 10:00 Other  (last, daily, weekly, monthly)"};

  int rc = 0;
  const std::string dry = Prune(policy + " --dry-run", &rc);
  EXPECT_EQ(rc, 0) << dry;
  EXPECT_EQ(Lines(dry, "  keep    "), kept) << dry;
  EXPECT_EQ(Lines(dry, "  would delete ").size(), times.size() - 9) << dry;
  EXPECT_NE(dry.find("11 snapshots kept, 131 snapshots to delete; 5 folders without a time stamp left alone."),
            std::string::npos)
      << dry;
  const auto before = nlohmann::json::parse(Mapiadmin("tree Test Archive --json"));

  EXPECT_EQ(Lines(Prune("--keep-hourly 3 --dry-run"), "  keep    "),
            (std::vector<std::string>{"2026.12.09 12:30 Mail  (hourly)", "2026.12.09 10:00 Mail  (hourly)",
                                      "2026.12.09 08:00 Mail  (hourly)", "2026.12.01 10:00 Other  (hourly)",
                                      "2026.01.01 10:00 Other  (hourly)"}));
  // Without a policy nothing goes.
  const std::string none = Prune("", &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(none.find("at least one --keep-"), std::string::npos) << none;
  EXPECT_EQ(nlohmann::json::parse(Mapiadmin("tree Test Archive --json")), before);

  const std::string real = Prune(policy, &rc);
  EXPECT_EQ(rc, 0) << real;
  std::set<std::string> left;
  const auto after = nlohmann::json::parse(Mapiadmin("tree Test Archive --json"));
  for (const auto& sub : after["folders"]) left.insert(sub["name"]);
  std::set<std::string> expected{"Deleted Items", "Notes", "2026.13.01 10:00 Bad", "2026.02.30 10:00 Bad",
                                 "2026.12.0910:00 Bad"};
  for (const auto& k : kept) expected.insert(k.substr(0, k.find("  (")));
  EXPECT_EQ(left, expected);
}
