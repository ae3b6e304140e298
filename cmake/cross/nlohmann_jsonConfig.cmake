# nlohmann-json for cross builds: header-only, staged apart from the host's /usr/include like CLI11.
set(_quorvin_json_stage ${CMAKE_BINARY_DIR}/host-header-only/include)
file(COPY /usr/include/nlohmann DESTINATION ${_quorvin_json_stage})
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_quorvin_json_stage})
endif()
set(nlohmann_json_FOUND TRUE)
set(nlohmann_json_VERSION 3.11.2)
