# Tests of what users meet first: --help and --version, the progress line on
# a pseudo-terminal, and the installed library.
kov_test(tests/tool_options_test.cpp)
kov_test(tests/progress_test.cpp)

# cmake --install into a temporary prefix, then examples/ built against it
# with pkg-config and with find_package(kov), and run.
set(install_test_flags "")
set(install_test_link_flags "")
if(KOV_SANITIZE)
  # The library's C++ code needs clang's C++ sanitizer runtime, and the C++
  # library under it, in the C program.
  string(JOIN " " install_test_flags ${kov_sanitizers})
  if(CMAKE_C_COMPILER_ID STREQUAL "Clang")
    set(install_test_link_flags "-fsanitize-link-c++-runtime -lstdc++")
  endif()
endif()
add_test(NAME install
         COMMAND sh ${CMAKE_SOURCE_DIR}/tests/install_test.sh ${CMAKE_BINARY_DIR}
                 ${CMAKE_SOURCE_DIR} ${CMAKE_C_COMPILER} "${install_test_flags}"
                 "${install_test_link_flags}")
