// Accelerator: held line writes. Replaces HostGateway::set_attr(line, name, value) at each
// write: a write to a recorded line's slot that reads and writes plainly is kept in the record
// and stored on the line, in the order of the first writes, before host code runs next
// (PythonModel::before_host_code) or at release. Valid because nothing but host code could see
// the attribute in between: the one rule is that every path to host code goes through the
// gateway, which calls before_host_code first.
#include "python/python_model.hpp"

namespace torvex::py {

void PythonModel::make_held_object(LineRecord& rec, int slot) const {
  if (rec.value(slot)) return;
  Ref object;
  switch (core::kerd_attr_info[static_cast<std::size_t>(slot)].kind) {
    case core::ValueKind::index:
      object = from_index(rec.number_of<int64_t>(slot));
      break;
    case core::ValueKind::flag:
      object = from_flag(rec.number_of<bool>(slot));
      break;
    case core::ValueKind::time:
      object = from_time(rec.number_of<double>(slot));
      break;
    default:
      object = from_number(rec.number_of<double>(slot));
  }
  rec.set_value(slot, std::move(object));
}

void PythonModel::store_held() const {
  if (records_list_ == nullptr) return;
  std::vector<std::pair<LineRecord*, int>>& held = records_list_->held;
  for (std::size_t i = 0; i < held.size(); ++i) {
    auto [rec, slot] = held[i];
    if ((rec->held & LineRecord::bit(slot)) == 0) continue;
    make_held_object(*rec, slot);
    rec->held &= ~LineRecord::bit(slot);
    // Plain when it was held, and no host code has run since.
    const int status = store_plain(*rec, slot, rec->value(slot).get());
    if (status < 0) {
      held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      throw PyError{};
    }
  }
  held.clear();
}

void PythonModel::before_host_code(void* model) {
  const auto* self = static_cast<const PythonModel*>(model);
  if (self->deferred_.pending) self->build_deferred();
  if (self->holding_) self->store_held();
  self->see_line_list();
  // After the model's own writes: what changes from here on is the host's.
  self->kept_.host_code_starts(self->ctx_.kept_watch);
}

void PythonModel::release_line_writes() const {
  holding_ = false;
  store_held();
}

void PythonModel::release_line_writes_on_error() const noexcept {
  holding_ = false;
  if (records_list_ == nullptr || records_list_->held.empty()) return;
  // The error on its way out stays the one raised; a failure to store meanwhile is dropped.
  SavedError saved;
  while (!records_list_->held.empty()) {
    try {
      store_held();
    } catch (const PyError&) {
      PyErr_Clear();
    }
  }
}

}  // namespace torvex::py
