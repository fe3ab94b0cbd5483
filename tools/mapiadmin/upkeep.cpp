#include "upkeep.h"

#include <mapi/admin.h>

#include <cstdio>
#include <iostream>

namespace mapiadmin {

namespace admin = tesk::mapi::admin;

namespace {

std::string Mb(std::uint64_t bytes) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

std::string Ratio(std::uint64_t a, std::uint64_t b) {
  if (!b) return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(a) / static_cast<double>(b));
  return buf;
}

}  // namespace

int CheckCommand(const std::string& profile, const std::string& store) {
  std::uint64_t contents = 0;
  const auto problems = admin::CheckStoreData(profile, store, [&](std::uint64_t done) { contents = done; });
  for (const auto& p : problems) std::cout << p << "\n";
  if (!problems.empty()) {
    std::cout << store << ": " << problems.size() << (problems.size() == 1 ? " problem" : " problems") << " found\n";
    return 1;
  }
  std::cout << store << ": " << contents << (contents == 1 ? " content" : " contents")
            << " read back and matching their digests; the file is whole\n";
  return 0;
}

int StatsCommand(const std::string& profile, const std::string& store, const std::string& folderPath) {
  const auto s = admin::StoreStats(profile, store, folderPath);
  const std::uint64_t stored = s.packedBytes + s.ownBytes;
  std::cout << "folders:            " << s.folders << " (" << s.snapshots << (s.snapshots == 1 ? " snapshot" : " snapshots")
            << ")\n"
            << "messages:           " << s.messages << " (" << s.sharedMessages << " with shared content)\n"
            << "logical bytes:      " << Mb(s.logicalBytes) << " (the messages as separate copies)\n"
            << "stored bytes:       " << Mb(stored) << " (" << s.contents << " contents " << Mb(s.packedBytes)
            << ", the messages' own " << Mb(s.ownBytes) << ")\n"
            << "compression ratio:  " << Ratio(s.contentBytes, s.packedBytes) << " (content bytes / stored)\n"
            << "sharing ratio:      " << Ratio(s.referencedBytes, s.contentBytes)
            << " (content bytes referred to / kept)\n"
            << "overall ratio:      " << Ratio(s.logicalBytes, stored) << " (logical / stored)\n"
            << "file:               " << Mb(s.fileBytes) << " (" << Mb(s.freeBytes) << " free inside)\n";
  return 0;
}

int CompactCommand(const std::string& profile, const std::string& store) {
  const std::uint64_t freed = admin::CompactStore(profile, store);
  std::cout << store << ": " << Mb(freed) << " given back\n";
  return 0;
}

}  // namespace mapiadmin
