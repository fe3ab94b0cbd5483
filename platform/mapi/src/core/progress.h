// Drives a caller's IMAPIProgress through a long operation the way MAPI
// does, with at most about a thousand Progress calls however long the work.
#pragma once

#include <mapidefs.h>

#include <cstdint>

namespace tesk::mapi {

class ProgressReporter {
 public:
  // progress may be null (no reporting). total is the number of work units.
  ProgressReporter(IMAPIProgress* progress, std::uint64_t total);
  // Reports units done so far; throws MapiError(MAPI_E_USER_CANCEL) when
  // the progress object asks to stop.
  void Update(std::uint64_t done);
  void Finish();
  // Repeats the last value: the work goes on without new units. Update
  // does the same for kStepStillWorking.
  void KeepAlive();
  std::uint64_t calls() const { return calls_; }

 private:
  void Send(ULONG value, std::uint64_t done);
  IMAPIProgress* progress_;
  std::uint64_t total_;
  ULONG min_ = 1, max_ = 1000, flags_ = 0;
  ULONG last_ = 0;
  std::uint64_t calls_ = 0;
};

}  // namespace tesk::mapi
