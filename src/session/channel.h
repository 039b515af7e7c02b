// A bounded channel of capacity one between exactly one sending thread and
// one receiving thread, each holding one end.
//
// Thread-safe across its two ends; each end is used by one thread at a time.
// The sender blocks while the slot is full, the receiver while it is empty.
// Dropping (or closing) the sending end lets the receiver drain the slot and
// then see the channel closed; dropping the receiving end makes every pending
// and later send fail, which is how a detached sender learns to stop. The
// shared slot lives as long as either end, so a sender may outlive the
// receiver's stack frame.
#ifndef RAVIK_SESSION_CHANNEL_H_
#define RAVIK_SESSION_CHANNEL_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace ravik {

namespace channel_detail {

template <class T>
struct Slot {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<T> value;
  bool sender_open = true;
  bool receiver_open = true;
};

}  // namespace channel_detail

template <class T>
class ChannelSender;
template <class T>
class ChannelReceiver;
template <class T>
std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel();

template <class T>
class ChannelSender {
 public:
  ChannelSender() = default;
  ChannelSender(ChannelSender&&) noexcept = default;
  ChannelSender& operator=(ChannelSender&& other) noexcept {
    if (this != &other) {
      close();
      slot_ = std::move(other.slot_);
    }
    return *this;
  }
  ~ChannelSender() { close(); }

  // Waits for the slot to be free and fills it. Returns false, dropping the
  // value, once the receiving end has gone.
  bool send(T value) {
    if (!slot_) return false;
    std::unique_lock lock(slot_->mutex);
    slot_->changed.wait(
        lock, [&] { return !slot_->receiver_open || !slot_->value.has_value(); });
    if (!slot_->receiver_open) return false;
    slot_->value.emplace(std::move(value));
    slot_->changed.notify_all();
    return true;
  }

  void close() {
    if (!slot_) return;
    {
      std::lock_guard lock(slot_->mutex);
      slot_->sender_open = false;
    }
    slot_->changed.notify_all();
    slot_.reset();
  }

 private:
  friend std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel<T>();
  explicit ChannelSender(std::shared_ptr<channel_detail::Slot<T>> slot)
      : slot_(std::move(slot)) {}

  std::shared_ptr<channel_detail::Slot<T>> slot_;
};

template <class T>
class ChannelReceiver {
 public:
  ChannelReceiver() = default;
  ChannelReceiver(ChannelReceiver&&) noexcept = default;
  ChannelReceiver& operator=(ChannelReceiver&& other) noexcept {
    if (this != &other) {
      close();
      slot_ = std::move(other.slot_);
    }
    return *this;
  }
  ~ChannelReceiver() { close(); }

  // Waits for a value. Returns nothing once the sending end has gone and the
  // slot is empty: the channel is closed.
  std::optional<T> receive() {
    if (!slot_) return std::nullopt;
    std::unique_lock lock(slot_->mutex);
    slot_->changed.wait(lock,
                        [&] { return slot_->value.has_value() || !slot_->sender_open; });
    if (!slot_->value) return std::nullopt;
    std::optional<T> value = std::move(slot_->value);
    slot_->value.reset();
    slot_->changed.notify_all();
    return value;
  }

  // Stops receiving: a waiting or later send fails. Any value in the slot is
  // dropped with the last end.
  void close() {
    if (!slot_) return;
    {
      std::lock_guard lock(slot_->mutex);
      slot_->receiver_open = false;
    }
    slot_->changed.notify_all();
    slot_.reset();
  }

 private:
  friend std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel<T>();
  explicit ChannelReceiver(std::shared_ptr<channel_detail::Slot<T>> slot)
      : slot_(std::move(slot)) {}

  std::shared_ptr<channel_detail::Slot<T>> slot_;
};

template <class T>
std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel() {
  auto slot = std::make_shared<channel_detail::Slot<T>>();
  return {ChannelSender<T>(slot), ChannelReceiver<T>(slot)};
}

}  // namespace ravik

#endif  // RAVIK_SESSION_CHANNEL_H_
