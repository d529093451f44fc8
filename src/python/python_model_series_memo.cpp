// Accelerator: host series values kept by offset. Replaces HostGateway::series_item(series,
// offset) and its conversion for an offset read before in the operation. Valid while no host
// code other than series reads has run (the gateway's foreign epoch): a host series is taken
// to give the same value for the same offset until other host code runs.
#include "python/python_model.hpp"

namespace torvex::py {

double PythonModel::host_value(const SeriesHandle& series, int64_t offset) const {
  if (!keep_series_values_)
    return host_.number(host_.series_item(series.object.get(), offset).get());
  if (!memo_) {
    memo_.emplace(ctx_.series_memo);
    memo_epoch_ = host_.foreign_epoch();
  }
  core::OffsetMemo& memo = memo_->get();
  if (memo_epoch_ != host_.foreign_epoch()) {
    memo.forget();
    for (Ref& held : memo_series_) held = Ref();
    memo_epoch_ = host_.foreign_epoch();
  }
  const int slot = memo.slot(series.object.get());
  double value;
  if (slot >= 0) {
    if (memo.find(slot, offset, value)) return value;
    if (!memo_series_[slot]) memo_series_[slot] = series.object;
  }
  const uint64_t before = host_.foreign_epoch();
  Ref element = host_.series_item(series.object.get(), offset, true);
  value = host_.number(element.get());
  if (slot >= 0 && host_.foreign_epoch() == before) memo.store(slot, offset, value);
  return value;
}

}  // namespace torvex::py
