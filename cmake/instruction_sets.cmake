# The builds of the kernels (src/core/kernels): each is compiled once per entry below, with that
# entry's flags, into a namespace of its own, and the module picks one when it loads (best
# first among those the processor runs, or the one QUARNEL_INSTRUCTION_SET names). Adding a
# build is one line here.
#
# Each entry: name | processor family | compile flags (comma-separated) | C++ test that the
# processor in hand runs the build's code. Within a family, best first.
set(QUARNEL_INSTRUCTION_SETS
  "avx512|x86_64|-march=x86-64-v4|__builtin_cpu_supports(\"x86-64-v4\")"
  "avx2|x86_64|-march=x86-64-v3|__builtin_cpu_supports(\"x86-64-v3\")"
  "baseline|x86_64||true"
  "neon|aarch64||true"
  "portable|other||true")

# The processor family the compiler targets.
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" quarnel_processor)
if(quarnel_processor MATCHES "^(x86_64|amd64|x64)$")
  set(quarnel_family x86_64)
elseif(quarnel_processor MATCHES "^(aarch64|arm64)$")
  set(quarnel_family aarch64)
else()
  set(quarnel_family other)
endif()

# quarnel_add_kernels(TARGET SOURCES...): an object library per build of this family, linked
# into TARGET, and the generated list the dispatch reads (core/instruction_set_list.inc).
function(quarnel_add_kernels target)
  set(list_text "")
  foreach(entry IN LISTS QUARNEL_INSTRUCTION_SETS)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 family)
    list(GET fields 2 flags)
    list(GET fields 3 runs_here)
    if(NOT family STREQUAL quarnel_family)
      continue()
    endif()
    string(REPLACE "," ";" flags "${flags}")
    add_library(quarnel_kernels_${name} OBJECT ${ARGN})
    target_include_directories(quarnel_kernels_${name} PRIVATE src "${CMAKE_CURRENT_BINARY_DIR}/generated")
    target_compile_options(quarnel_kernels_${name} PRIVATE ${flags})
    target_compile_definitions(quarnel_kernels_${name} PRIVATE QUARNEL_KERNELS=kernels_${name})
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:quarnel_kernels_${name}>)
    string(APPEND list_text "QUARNEL_INSTRUCTION_SET(${name}, ${runs_here})\n")
  endforeach()
  file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/generated/core/instruction_set_list.inc" CONTENT "${list_text}")
  target_include_directories(${target} PUBLIC "${CMAKE_CURRENT_BINARY_DIR}/generated")
endfunction()
