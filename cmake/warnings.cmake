# Warnings are set per target so that third-party code (GoogleTest, Benchmark) is not held to them.
function(quorvin_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive-)
    if(QUORVIN_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
      -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
      -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
    if(QUORVIN_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
      # GCC 12 takes std::string's operator+ on a temporary for an overlapping copy (its bug 105651),
      # in the 32-bit Windows build: a warning shown, not an error.
      if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
         AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-error=restrict)
      endif()
    endif()
  endif()
endfunction()
