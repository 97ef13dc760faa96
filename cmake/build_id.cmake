# Writes the header that names this build of the module: a digest of every source that goes into
# it and of how it is compiled, so that results of two different builds are never mixed even
# under one version number. Runs at build time (an edited source changes it), and rewrites the
# header only when the digest changes.
# In: SOURCES (paths separated by '|'), ROOT (the source tree), SETTINGS (compiler and flags), OUTPUT.
string(REPLACE "|" ";" sources "${SOURCES}")
set(parts "${SETTINGS}")
foreach(source IN LISTS sources)
  file(SHA256 "${source}" hash)
  file(RELATIVE_PATH relative "${ROOT}" "${source}")
  string(APPEND parts "\n${relative} ${hash}")
endforeach()
string(SHA256 digest "${parts}")
string(SUBSTRING "${digest}" 0 20 digest)
set(text "// Generated at build time from the sources and compile settings.\n#pragma once\n#define QUARNEL_BUILD_ID \"${digest}\"\n")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
