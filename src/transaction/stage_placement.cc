#include "transaction/stage_placement.h"

namespace ravik {

#if defined(__linux__)

namespace {

bool set_mask(pthread_t thread, const cpu_set_t& mask) {
  return ::pthread_setaffinity_np(thread, sizeof(mask), &mask) == 0;
}

}  // namespace

StagePlacement::~StagePlacement() { release_caller(); }

void StagePlacement::begin() {
  caller_ = ::pthread_self();
  if (::pthread_getaffinity_np(caller_, sizeof(original_), &original_) != 0) return;
  if (CPU_COUNT(&original_) < 2) return;
  // The caller stays where it runs, which spares it a migration; the hasher
  // takes the first other CPU it may use.
  const int current = ::sched_getcpu();
  int hasher = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE && hasher < 0; ++cpu) {
    if (cpu != current && CPU_ISSET(cpu, &original_)) hasher = cpu;
  }
  if (hasher < 0) return;
  CPU_ZERO(&hasher_cpu_);
  CPU_SET(hasher, &hasher_cpu_);
  other_cpus_ = original_;
  CPU_CLR(hasher, &other_cpus_);
  if (!set_mask(caller_, other_cpus_)) return;
  caller_narrowed_ = true;
  active_ = true;
}

void StagePlacement::place_hasher() const {
  if (active_) (void)set_mask(::pthread_self(), hasher_cpu_);
}

void StagePlacement::release_current_thread() const {
  if (active_) (void)set_mask(::pthread_self(), original_);
}

void StagePlacement::release_caller() {
  if (!caller_narrowed_) return;
  caller_narrowed_ = false;
  (void)set_mask(caller_, original_);
}

#else

StagePlacement::~StagePlacement() = default;
void StagePlacement::begin() {}
void StagePlacement::place_hasher() const {}
void StagePlacement::release_current_thread() const {}
void StagePlacement::release_caller() {}

#endif

}  // namespace ravik
