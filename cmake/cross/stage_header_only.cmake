# Header-only packages serve any target, but the host's CMake files for them point into the
# host's /usr/include, whose C library headers must not shadow the target's. This stages just
# the package's own headers in the build tree and makes an imported target over them.
function(quorvin_stage_header_only target header_folder)
  set(stage ${CMAKE_BINARY_DIR}/host-header-only/include)
  file(COPY /usr/include/${header_folder} DESTINATION ${stage})
  if(NOT TARGET ${target})
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${stage})
  endif()
endfunction()
