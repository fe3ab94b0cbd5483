// Pruning of snapshots: the folders a save names "YYYY.MM.DD HH:MM SOURCE".
// Which to keep is decided as restic's forget decides it: the newest N of
// each period (hour, day, ISO week, month, year) and the newest N in all;
// every source (the name after the time stamp) on its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "folders.h"

namespace mapiadmin {

struct SnapshotTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
  bool operator==(const SnapshotTime&) const = default;
};

// The time stamp and the source of a snapshot's name; nothing for a name
// without a valid time stamp in front.
struct SnapshotName {
  SnapshotTime time;
  std::string source;
};
std::optional<SnapshotName> ParseSnapshotName(const std::string& name);

// How many to keep of each kind; 0: none of that kind.
struct KeepPolicy {
  int last = 0, hourly = 0, daily = 0, weekly = 0, monthly = 0, yearly = 0;
  bool Empty() const { return !last && !hourly && !daily && !weekly && !monthly && !yearly; }
};

struct PruneDecision {
  std::string name;
  bool keep = false;
  std::vector<std::string> reasons;  // "last", "hourly", ... that keep it
};

// The decisions for the snapshots of one source, newest first.
std::vector<PruneDecision> DecideSnapshots(std::vector<std::pair<std::string, SnapshotTime>> snapshots,
                                           const KeepPolicy& policy);

// Prunes the direct subfolders of the folder at path; prints each kept and
// deleted snapshot with its reason. Returns the exit code.
int PruneCommand(const std::string& profile, const std::string& path, const KeepPolicy& policy, bool dryRun);

}  // namespace mapiadmin
