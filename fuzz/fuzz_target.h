// The entry point every fuzz target defines and both drivers call: libFuzzer
// when fuzzing, replay_main.cc when a committed corpus is replayed as a test.
#ifndef RAVIK_FUZZ_FUZZ_TARGET_H_
#define RAVIK_FUZZ_FUZZ_TARGET_H_

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#endif  // RAVIK_FUZZ_FUZZ_TARGET_H_
