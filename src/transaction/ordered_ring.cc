#include "transaction/ordered_ring.h"

#include <algorithm>
#include <utility>

namespace ravik {

OrderedRing::OrderedRing(std::size_t slots, std::size_t consumers)
    : slots_(slots), handed_(consumers, 0), freed_(consumers, 0) {}

bool OrderedRing::can_claim() const {
  return published_ < *std::min_element(freed_.begin(), freed_.end()) + slots_;
}

bool OrderedRing::can_hand(std::size_t consumer) const {
  const std::uint64_t item = handed_[consumer];
  return item < published_ && (consumer == 0 || freed_[consumer - 1] >= item);
}

std::optional<std::uint64_t> OrderedRing::claim() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return stopped_ || can_claim(); });
  if (stopped_) return std::nullopt;
  return published_;
}

void OrderedRing::publish() {
  {
    const std::lock_guard lock(mutex_);
    ++published_;
  }
  changed_.notify_all();
}

void OrderedRing::close(std::optional<HelperError> failure) {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    failure_ = std::move(failure);
  }
  changed_.notify_all();
}

void OrderedRing::free_handed(std::size_t consumer) {
  if (freed_[consumer] < handed_[consumer]) {
    freed_[consumer] = handed_[consumer];
    changed_.notify_all();
  }
}

bool OrderedRing::ready(std::size_t consumer) const {
  return stopped_ || can_hand(consumer) || (closed_ && handed_[consumer] >= published_);
}

Result<std::optional<std::uint64_t>> OrderedRing::next(std::size_t consumer) {
  std::unique_lock lock(mutex_);
  free_handed(consumer);
  changed_.wait(lock, [&] { return ready(consumer); });
  if (stopped_) return std::nullopt;
  if (can_hand(consumer)) return handed_[consumer]++;
  if (failure_) return std::unexpected(*failure_);
  return std::nullopt;
}

void OrderedRing::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

}  // namespace ravik
