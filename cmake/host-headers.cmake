# A cross build takes the header-only libraries (JSON, CLI11) and hidapi's declarations from the
# build machine's Debian packages. Their include directory cannot go on the cross compiler's path
# as a whole, since the build machine's C library headers would shadow the target's: each library's
# directory is linked into a directory of its own under the build tree instead, and offered
# through the same target names that find_package gives natively.
set(EFIS_HOST_INCLUDE_DIR "/usr/include" CACHE PATH "Build machine's include directory, for a cross build's header-only libraries")

function(efis_host_headers target subdir probe)
  if(NOT EXISTS ${EFIS_HOST_INCLUDE_DIR}/${subdir}/${probe})
    message(FATAL_ERROR "${EFIS_HOST_INCLUDE_DIR}/${subdir}/${probe} not found: scripts/bootstrap installs it")
  endif()
  string(REPLACE "::" "_" lib ${target})
  set(dir ${CMAKE_BINARY_DIR}/host-headers/${lib})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${EFIS_HOST_INCLUDE_DIR}/${subdir} ${dir}/${subdir} SYMBOLIC)
  add_library(${lib} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${lib} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
  if(NOT target STREQUAL lib)
    add_library(${target} ALIAS ${lib})
  endif()
endfunction()

efis_host_headers(nlohmann_json::nlohmann_json nlohmann json.hpp)
efis_host_headers(CLI11::CLI11 CLI CLI.hpp)
efis_host_headers(efis_hidapi_headers hidapi hidapi.h)
