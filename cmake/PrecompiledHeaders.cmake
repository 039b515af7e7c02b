# One precompiled header for the test programs. Every test source includes
# GoogleTest, and many nlohmann-json, so these are compiled once per build
# tree instead of once per test source; the targets that link GoogleTest
# reuse that one header.
#
# The code under src/ does not take it: with -O2 -g the header weighs over
# 100 MB, and loading it costs a source that includes neither library about
# as much as it saves one that includes nlohmann-json (measured on GCC 12).
#
# A target whose flags did not match the header would get -Winvalid-pch, an
# error under -Werror, so a header that silently stopped being used is seen.

set(RAVIK_TEST_PCH_HEADERS
  <algorithm> <cstdint> <filesystem> <memory> <optional> <span> <string>
  <string_view> <vector> <nlohmann/json.hpp> <gtest/gtest.h>)

# The targets defined in DIR and below.
function(ravik_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    ravik_targets_below(${subdir} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Call once, after every target is defined.
function(ravik_share_test_precompiled_header)
  set(anchor ${CMAKE_BINARY_DIR}/ravik_test_pch.cc)
  file(CONFIGURE OUTPUT ${anchor} CONTENT "// Carries the tests' precompiled header.\n")
  add_library(ravik_test_pch OBJECT ${anchor})
  target_link_libraries(ravik_test_pch PRIVATE nlohmann_json::nlohmann_json GTest::gtest)
  target_precompile_headers(ravik_test_pch PRIVATE ${RAVIK_TEST_PCH_HEADERS})

  get_property(common_options DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY COMPILE_OPTIONS)
  ravik_targets_below(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY)$"
       OR target STREQUAL "ravik_test_pch")
      continue()
    endif()
    # GoogleTest's definitions must match those the header was compiled with,
    # so only the targets that link it directly take the header; targets with
    # flags of their own compile their headers themselves.
    get_target_property(links ${target} LINK_LIBRARIES)
    get_target_property(options ${target} COMPILE_OPTIONS)
    if(links MATCHES "GTest::" AND options STREQUAL common_options)
      target_precompile_headers(${target} REUSE_FROM ravik_test_pch)
      # GCC 12 forgets, for code read from a precompiled header, that it came
      # from a system header, and then reports libstdc++'s inlined string
      # copies (char_traits::copy) as out of bounds, its known false positives
      # that it keeps quiet in system headers. Only the test programs are
      # built without these three warnings; the code under src/ keeps them.
      target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-stringop-overflow
                                               -Wno-stringop-overread)
    endif()
  endforeach()
endfunction()
