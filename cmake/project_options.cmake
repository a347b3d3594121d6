# Compiler settings shared by all of our own targets.

# Our own code: warnings on and fatal. Third-party and generated code does not use this.
function(overlay_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
  endif()
endfunction()

# Windows version and character set for every target.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)

# Registers a GoogleTest executable as one ctest entry (one Wine process per executable, not per case).
#   overlay_add_gtest(<target> SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...])
function(overlay_add_gtest target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  overlay_warnings(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} overlay::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
  set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
