#include "desktop/view_state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace ravik::desktop {
namespace {

const char* stage_name(DiskStage stage) {
  switch (stage) {
    case DiskStage::waiting:
      return "waiting";
    case DiskStage::hashing:
      return "hashing";
    case DiskStage::writing:
      return "writing";
    case DiskStage::verifying:
      return "verifying";
    case DiskStage::finishing:
      return "finishing";
    case DiskStage::done:
      return "done";
  }
  return "waiting";
}

std::string mebibytes(std::uint64_t bytes) {
  return printed("%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace

std::string printed(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

DiskRow* ViewState::find(const std::string& device) {
  auto row = std::ranges::find(rows_, device, &DiskRow::device);
  return row == rows_.end() ? nullptr : &*row;
}

void ViewState::apply(const JobEvent& event) {
  if (const auto* started = std::get_if<JobStarted>(&event)) {
    rows_.clear();
    for (const auto& device : started->devices) {
      DiskRow row;
      row.device = device;
      row.total = started->image_bytes;
      rows_.push_back(std::move(row));
    }
    return;
  }
  if (const auto* changed = std::get_if<StageChanged>(&event)) {
    if (DiskRow* row = find(changed->device);
        row && row->outcome == DiskOutcome::running) {
      row->stage = changed->stage;
      row->done = 0;
      row->bytes_per_second = 0;
      row->seconds_left.reset();
    }
    return;
  }
  if (const auto* bytes = std::get_if<BytesDone>(&event)) {
    DiskRow* row = find(bytes->device);
    // A late report after the disk's outcome, or one that goes backwards,
    // would make a finished or failed disk look as if it still moved.
    if (!row || row->outcome != DiskOutcome::running || bytes->done < row->done) return;
    row->done = std::min(bytes->done, bytes->total);
    row->total = bytes->total;
    if (bytes->milliseconds > 0) {
      row->bytes_per_second = bytes->done * 1000 / bytes->milliseconds;
    }
    if (row->bytes_per_second > 0) {
      row->seconds_left = (row->total - row->done) / row->bytes_per_second;
    }
    return;
  }
  const auto& finished = std::get<DiskFinished>(event);
  if (DiskRow* row = find(finished.device); row && row->outcome == DiskOutcome::running) {
    row->outcome = finished.outcome;
    row->stage = DiskStage::done;
    row->safe_to_remove = finished.safe_to_remove;
    row->bytes_on_disk = finished.bytes_on_disk;
    row->error_code = finished.error_code;
    row->error_message = finished.error_message;
    row->seconds_left.reset();
  }
}

bool ViewState::running() const {
  return std::ranges::any_of(
      rows_, [](const DiskRow& row) { return row.outcome == DiskOutcome::running; });
}

unsigned ViewState::percent(const DiskRow& row) {
  if (row.total == 0) return row.stage == DiskStage::done ? 100 : 0;
  return static_cast<unsigned>(row.done * 100 / row.total);
}

std::string ViewState::status_text(const DiskRow& row) {
  switch (row.outcome) {
    case DiskOutcome::verified:
      return row.safe_to_remove ? "verified, safe to remove" : "verified";
    case DiskOutcome::written:
      return row.safe_to_remove ? "written, safe to remove" : "written";
    case DiskOutcome::cancelled:
      return printed("cancelled: %s reached the disk, which holds no usable image",
                     mebibytes(row.bytes_on_disk).c_str());
    case DiskOutcome::failed:
      return printed("%s: %s %s reached the disk, which holds no usable image",
                     row.error_code.c_str(), row.error_message.c_str(),
                     mebibytes(row.bytes_on_disk).c_str());
    case DiskOutcome::running:
      break;
  }
  std::string text = printed("%s %u%%", stage_name(row.stage), percent(row));
  if (row.bytes_per_second > 0) {
    text += printed(", %s/s", mebibytes(row.bytes_per_second).c_str());
  }
  if (row.seconds_left) {
    text += printed(", %llu s left", static_cast<unsigned long long>(*row.seconds_left));
  }
  return text;
}

}  // namespace ravik::desktop
