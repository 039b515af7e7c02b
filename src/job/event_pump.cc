#include "job/event_pump.h"

#include <unistd.h>

#include <cerrno>

#include "io/write_all.h"

namespace ravik::job {

namespace {

std::atomic<int> first_output_error{0};

}  // namespace

void write_output(int fd, std::string_view bytes) {
  auto written = write_all(fd, bytes);
  if (!written && fd == STDOUT_FILENO) {
    int none = 0;
    const int error = written.error().os_error;
    first_output_error.compare_exchange_strong(none, error == 0 ? EIO : error);
  }
}

void write_text_line(int fd, std::string text) {
  text.push_back('\n');
  write_output(fd, text);
}

int standard_output_error() { return first_output_error.load(); }

EventPump::EventPump(HelperProcess& helper, ProgressSink& display, JobObserver* echo)
    : helper_(helper), display_(display), echo_(echo), thread_([this] { run(); }) {}

EventPump::~EventPump() { thread_.join(); }

void EventPump::run() {
  while (auto line = helper_.read_line()) {
    if (echo_ != nullptr) echo_->notice(NoticeKind::kResult, *line);
    auto event = parse_event_line(*line);
    if (!event) continue;
    if (event->kind() == "progress") {
      if (echo_ == nullptr) {
        display_.update({.stage = event->text("stage").value_or(""),
                         .done = event->number("bytesProcessed").value_or(0),
                         .total = event->number("bytesTotal").value_or(0),
                         .bytes_per_second = event->number("speedBps").value_or(0)});
      }
      continue;
    }
    display_.finish();
    if (event->kind() == "error" && event->flag("sessionRetained") == false) {
      session_failure_seen_ = true;
    }
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(*event));
    arrived_.notify_all();
  }
  display_.finish();
  std::lock_guard lock(mutex_);
  ended_ = true;
  arrived_.notify_all();
}

std::optional<HelperEvent> EventPump::next() {
  std::unique_lock lock(mutex_);
  arrived_.wait(lock, [&] { return !queue_.empty() || ended_; });
  if (queue_.empty()) return std::nullopt;
  HelperEvent event = std::move(queue_.front());
  queue_.pop_front();
  return event;
}

}  // namespace ravik::job
