# CLI11 for cross builds: its headers alone, staged apart from the host's /usr/include.
include(${CMAKE_CURRENT_LIST_DIR}/stage_header_only.cmake)
quorvin_stage_header_only(CLI11::CLI11 CLI)
set(CLI11_FOUND TRUE)
