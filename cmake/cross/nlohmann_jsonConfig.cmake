# nlohmann-json for cross builds: its headers alone, staged apart from the host's /usr/include.
include(${CMAKE_CURRENT_LIST_DIR}/stage_header_only.cmake)
quorvin_stage_header_only(nlohmann_json::nlohmann_json nlohmann)
set(nlohmann_json_FOUND TRUE)
