# CLI11 for cross builds. It is header-only, so the host's copy serves any target; its headers
# are staged apart from the rest of the host's /usr/include, whose C library headers must not
# shadow the target's.
set(_quorvin_cli11_stage ${CMAKE_BINARY_DIR}/host-header-only/include)
file(COPY /usr/include/CLI DESTINATION ${_quorvin_cli11_stage})
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_quorvin_cli11_stage})
endif()
set(CLI11_FOUND TRUE)
