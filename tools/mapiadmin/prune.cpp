#include "prune.h"

#include <mapi/admin.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>

namespace mapiadmin {

namespace {

bool Digits(const std::string& s, size_t at, size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (size_t k = at; k < at + n; ++k) {
    if (s[k] < '0' || s[k] > '9') return false;
    value = value * 10 + (s[k] - '0');
  }
  return true;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : days[m - 1];
}

// Days since 1970-01-01 (proleptic Gregorian).
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The ISO 8601 week, as year * 100 + week.
int IsoWeek(const SnapshotTime& t) {
  const long days = DaysFromCivil(t.year, t.month, t.day);
  const int weekday = static_cast<int>(((days % 7) + 7 + 3) % 7);  // Monday 0
  // The Thursday of the same week decides its year.
  const long thursday = days - weekday + 3;
  long y = t.year + 1;
  while (DaysFromCivil(static_cast<int>(y), 1, 1) > thursday) --y;
  const long week = (thursday - DaysFromCivil(static_cast<int>(y), 1, 1)) / 7 + 1;
  return static_cast<int>(y * 100 + week);
}

bool Earlier(const SnapshotTime& a, const SnapshotTime& b) {
  return std::tie(a.year, a.month, a.day, a.hour, a.minute) < std::tie(b.year, b.month, b.day, b.hour, b.minute);
}

}  // namespace

std::optional<SnapshotName> ParseSnapshotName(const std::string& name) {
  // YYYY.MM.DD HH:MM SOURCE
  SnapshotTime t;
  if (name.size() < 18 || !Digits(name, 0, 4, t.year) || name[4] != '.' || !Digits(name, 5, 2, t.month) ||
      name[7] != '.' || !Digits(name, 8, 2, t.day) || name[10] != ' ' || !Digits(name, 11, 2, t.hour) ||
      name[13] != ':' || !Digits(name, 14, 2, t.minute) || name[16] != ' ')
    return std::nullopt;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
      t.minute > 59)
    return std::nullopt;
  return SnapshotName{t, name.substr(17)};
}

std::vector<PruneDecision> DecideSnapshots(std::vector<std::pair<std::string, SnapshotTime>> snapshots,
                                           const KeepPolicy& policy) {
  std::stable_sort(snapshots.begin(), snapshots.end(),
                   [](const auto& a, const auto& b) { return Earlier(b.second, a.second); });
  struct Bucket {
    const char* reason;
    int count;
    long (*key)(const SnapshotTime&, size_t);
    std::optional<long> last;
  };
  std::vector<Bucket> buckets{
      {"last", policy.last, [](const SnapshotTime&, size_t nr) { return static_cast<long>(nr); }, {}},
      {"hourly", policy.hourly,
       [](const SnapshotTime& t, size_t) { return DaysFromCivil(t.year, t.month, t.day) * 24L + t.hour; }, {}},
      {"daily", policy.daily, [](const SnapshotTime& t, size_t) { return DaysFromCivil(t.year, t.month, t.day); }, {}},
      {"weekly", policy.weekly, [](const SnapshotTime& t, size_t) { return static_cast<long>(IsoWeek(t)); }, {}},
      {"monthly", policy.monthly, [](const SnapshotTime& t, size_t) { return t.year * 100L + t.month; }, {}},
      {"yearly", policy.yearly, [](const SnapshotTime& t, size_t) { return static_cast<long>(t.year); }, {}},
  };
  std::vector<PruneDecision> out;
  for (size_t nr = 0; nr < snapshots.size(); ++nr) {
    PruneDecision d{snapshots[nr].first, false, {}};
    for (auto& b : buckets) {
      if (b.count <= 0) continue;
      const long key = b.key(snapshots[nr].second, nr);
      if (b.last && *b.last == key) continue;
      b.last = key;
      --b.count;
      d.keep = true;
      d.reasons.push_back(b.reason);
    }
    out.push_back(std::move(d));
  }
  return out;
}

int PruneCommand(const std::string& profileName, const std::string& path, const KeepPolicy& policy, bool dryRun) {
  if (policy.Empty())
    throw Failure("prune needs at least one --keep-... option (without one it would delete every snapshot)");
  Profile profile(profileName);
  auto folder = profile.Resolve(path, false);
  // The snapshots of each source, by the name after their time stamp.
  std::map<std::string, std::vector<std::pair<std::string, SnapshotTime>>> sources;
  std::map<std::string, std::string> ids;
  size_t others = 0;
  for (const auto& [name, eid] : Subfolders(folder)) {
    auto parsed = ParseSnapshotName(name);
    if (!parsed) {
      ++others;
      continue;
    }
    sources[parsed->source].emplace_back(name, parsed->time);
    ids[name] = eid;
  }
  size_t kept = 0, deleted = 0;
  for (const auto& [source, snapshots] : sources) {
    std::cout << source << ":\n";
    for (const auto& d : DecideSnapshots(snapshots, policy)) {
      if (d.keep) {
        std::string why;
        for (const auto& r : d.reasons) why += (why.empty() ? "" : ", ") + r;
        std::cout << "  keep    " << d.name << "  (" << why << ")\n";
        ++kept;
        continue;
      }
      std::cout << "  " << (dryRun ? "would delete " : "delete  ") << d.name << "\n";
      ++deleted;
      if (dryRun) continue;
      std::string eid = ids[d.name];
      Check(folder->DeleteFolder(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), 0, nullptr,
                                 DEL_FOLDERS | DEL_MESSAGES),
            "deleting the snapshot \"" + d.name + "\"");
    }
  }
  std::cout << kept << (kept == 1 ? " snapshot" : " snapshots") << " kept, " << deleted
            << (deleted == 1 ? " snapshot " : " snapshots ") << (dryRun ? "to delete" : "deleted");
  if (others) std::cout << "; " << others << (others == 1 ? " folder" : " folders") << " without a time stamp left alone";
  std::cout << ".\n";
  if (!dryRun && deleted) {
    // The space the deleted snapshots took goes back to the file system
    // (for a store that keeps a file of its own).
    folder.Release();
    const std::string store = path.substr(0, path.find('\\'));
    try {
      const std::uint64_t freed = tesk::mapi::admin::CompactStore(profileName, store);
      std::printf("%.1f MB given back\n", static_cast<double>(freed) / 1e6);
    } catch (const std::runtime_error&) {
      // Not a store file: nothing to give back.
    }
  }
  return 0;
}

}  // namespace mapiadmin
