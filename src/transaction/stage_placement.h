// StagePlacement: where the image pipeline's threads start out.
//
// The hasher is the pipeline's slowest stage, and the source reader and the
// writer together need about as much CPU as it does. On a machine with two
// cores the scheduler can take hundreds of milliseconds to give the hasher a
// core of its own; until it does, a copy stage shares the hasher's core while
// the other core sits partly idle, and a 64 MiB image took a fifth longer
// per byte than a 4 GiB one. So for its first chunks the pipeline starts the
// hasher on one allowed CPU and the other stages on the rest, then gives
// every thread its own CPU mask back. Nothing stays bound: afterwards the
// scheduler may move any stage, for instance away from another process that
// needs that core.
//
// Best effort: where the system has no CPU masks (macOS), where only one CPU
// is allowed, or where a mask cannot be set, the threads are left wherever
// the scheduler puts them.
#ifndef RAVIK_TRANSACTION_STAGE_PLACEMENT_H_
#define RAVIK_TRANSACTION_STAGE_PLACEMENT_H_

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace ravik {

class StagePlacement {
 public:
  // Chunks placed before the masks are given back: at memory speed about
  // 20 ms of hashing, enough for the scheduler to keep the placement.
  static constexpr std::uint64_t kPlacedChunks = 8;

  StagePlacement() = default;
  StagePlacement(const StagePlacement&) = delete;
  StagePlacement& operator=(const StagePlacement&) = delete;
  // Gives the caller its mask back if release_caller() has not.
  ~StagePlacement();

  // Narrows the calling thread, and the threads it starts from now on, to
  // the CPUs the hasher will not start on. Called once, before the stage
  // threads are started.
  void begin();
  // On the hasher's thread: moves it to its CPU.
  void place_hasher() const;
  // On a stage thread: gives it the mask the caller had before begin().
  void release_current_thread() const;
  // On the thread that called begin(): gives it its mask back; later calls
  // do nothing.
  void release_caller();

  bool active() const { return active_; }

 private:
  bool active_ = false;
#if defined(__linux__)
  bool caller_narrowed_ = false;
  pthread_t caller_{};
  cpu_set_t original_{};
  cpu_set_t hasher_cpu_{};
  cpu_set_t other_cpus_{};
#endif
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_STAGE_PLACEMENT_H_
