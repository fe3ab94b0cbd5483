#include "core/progress.h"

#include "core/prop.h"
#include "provider.h"

namespace tesk::mapi {

ProgressReporter::ProgressReporter(IMAPIProgress* progress, std::uint64_t total)
    : progress_(progress), total_(total) {
  if (!progress_) return;
  ULONG flags = 0;
  if (SUCCEEDED(progress_->GetFlags(&flags))) flags_ = flags;
  ULONG v = 0;
  if (SUCCEEDED(progress_->GetMin(&v))) min_ = v;
  if (SUCCEEDED(progress_->GetMax(&v))) max_ = v;
  if (max_ < min_) max_ = min_;
  ULONG mn = min_, mx = max_, fl = flags_;
  progress_->SetLimits(&mn, &mx, &fl);
  last_ = min_;
}

void ProgressReporter::Send(ULONG value, std::uint64_t done) {
  ++calls_;
  const auto count = static_cast<ULONG>(done);
  const auto total = static_cast<ULONG>(total_);
  if (FAILED(progress_->Progress(value, count, total))) throw MapiError(MAPI_E_USER_CANCEL);
  last_ = value;
}

void ProgressReporter::Update(std::uint64_t done) {
  if (!progress_ || total_ == 0) return;
  if (done == kStepStillWorking) {
    KeepAlive();
    return;
  }
  if (done > total_) done = total_;
  const auto span = static_cast<std::uint64_t>(max_ - min_);
  const auto value = static_cast<ULONG>(min_ + span * done / total_);
  // Only report when the value moved by at least a thousandth of the range.
  const std::uint64_t step = span / 1000 ? span / 1000 : 1;
  if (value >= last_ + step) Send(value, done);
}

void ProgressReporter::KeepAlive() {
  if (!progress_ || total_ == 0) return;
  Send(last_, total_);
}

void ProgressReporter::Finish() {
  if (!progress_) return;
  if (last_ != max_ || calls_ == 0) Send(max_, total_);
}

}  // namespace tesk::mapi
