# The flags Debian builds its root and setuid programs with: position-
# independent executables, stack protection and clash protection, control-
# flow protection, fortified C library calls, and a read-only relocation table
# resolved at start. Included before the program sources' directories, whose
# targets take the directory's options as they are added; the tests, tools,
# benchmarks and fuzz targets added afterwards get the tree's own options
# back (ravik_end_hardening). Sanitized and fuzzing trees are not hardened:
# the sanitizers replace the C library's checks with their own and
# fortification hides calls from them.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

option(RAVIK_HARDENED "Build with the hardening flags of Debian's root programs" ON)
if(RAVIK_SANITIZE OR RAVIK_FUZZ)
  set(RAVIK_HARDENED OFF)
endif()

get_directory_property(RAVIK_UNHARDENED_COMPILE_OPTIONS COMPILE_OPTIONS)
get_directory_property(RAVIK_UNHARDENED_LINK_OPTIONS LINK_OPTIONS)
macro(ravik_end_hardening)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${RAVIK_UNHARDENED_COMPILE_OPTIONS}"
                                      LINK_OPTIONS "${RAVIK_UNHARDENED_LINK_OPTIONS}")
  unset(CMAKE_POSITION_INDEPENDENT_CODE)
endmacro()

if(RAVIK_HARDENED)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  add_compile_options(-fstack-protector-strong)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "RAVIK_HAS${flag}" supported)
    check_cxx_compiler_flag(${flag} ${supported})
    if(${supported})
      add_compile_options(${flag})
    endif()
  endforeach()
  # Level 3 checks sizes known only at run time; compilers without the
  # builtin it needs get level 2. Any level the toolchain sets is replaced.
  check_cxx_source_compiles(
    "int main(int argc, char**) { char b[4]; return (int)__builtin_dynamic_object_size(b + argc, 0); }"
    RAVIK_HAS_DYNAMIC_OBJECT_SIZE)
  if(RAVIK_HAS_DYNAMIC_OBJECT_SIZE)
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
  else()
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  endif()
  # No compiler identification left in the objects (the .comment section
  # Debian's strip removes).
  add_compile_options(-fno-ident)
  if(NOT APPLE)
    add_link_options(-Wl,-z,relro -Wl,-z,now)
  endif()
endif()

# The C runtime's start files carry the compiler's identification too: it is
# removed from each installed program after linking, as Debian's strip does.
function(ravik_remove_identification target)
  if(RAVIK_HARDENED AND CMAKE_OBJCOPY AND NOT APPLE)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
