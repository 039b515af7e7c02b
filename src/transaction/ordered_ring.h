// OrderedRing: the bookkeeping of a fixed ring of slots through which one
// producer thread hands items, in order, to a chain of consumer stages. The
// ring holds indices only; its owner keeps the slots themselves and uses item
// i in slot i % slots.
//
// Every consumer takes every item, in order. Consumer c > 0 trails consumer
// c - 1: it is handed item i only once c - 1 has finished item i - 1, so the
// two may work on the same item together but c never overtakes c - 1. A slot
// is reused only after every consumer freed its item. When the producer
// fails, its failure is handed to each consumer in place of the item it
// prevented, after the items published before it: consumers see items and
// failure in the order of a single-threaded loop.
//
// Publishing and handing out go through one mutex, so what the producer
// wrote into a slot before publish() is visible to a consumer handed it, and
// what a consumer read is done before the producer reuses the slot.
// Thread-safe; stop() may come from any thread at any time.
#ifndef RAVIK_TRANSACTION_ORDERED_RING_H_
#define RAVIK_TRANSACTION_ORDERED_RING_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "error/helper_error.h"

namespace ravik {

class OrderedRing {
 public:
  OrderedRing(std::size_t slots, std::size_t consumers);
  OrderedRing(const OrderedRing&) = delete;
  OrderedRing& operator=(const OrderedRing&) = delete;

  // Producer: waits until the next item's slot is free and returns the
  // item's index; no value once stopped.
  std::optional<std::uint64_t> claim();
  // Producer: the claimed item is complete and may be handed out.
  void publish();
  // Producer: no item follows. A failure is handed out in place of the next
  // item; without one, consumers reach the end.
  void close(std::optional<HelperError> failure);

  // Consumer `consumer` (0 .. consumers - 1, each on one thread): frees
  // the item it was handed before and waits for the next. The item's index;
  // no value at the end of the items or once stopped; the producer's
  // failure in place of the item it prevented.
  Result<std::optional<std::uint64_t>> next(std::size_t consumer);

  // Ends every wait, now and later: claim() and next() return no value.
  void stop();

 private:
  bool can_claim() const;
  bool can_hand(std::size_t consumer) const;
  // Both under mutex_.
  void free_handed(std::size_t consumer);
  bool ready(std::size_t consumer) const;

  const std::size_t slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // All under mutex_.
  std::uint64_t published_ = 0;
  std::vector<std::uint64_t> handed_;  // per consumer
  std::vector<std::uint64_t> freed_;   // per consumer
  bool closed_ = false;
  std::optional<HelperError> failure_;
  bool stopped_ = false;
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_ORDERED_RING_H_
