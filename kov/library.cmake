# SPDX-License-Identifier: MIT
# The kov library as others use it: libkov.so beside libkov.a, kov.h, kov.pc
# and kov-static.pc for pkg-config, the CMake package (find_package(kov) gives kov::kov, the
# shared library, and kov::kov_static) and the kov(3) manual page.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The shared library compiles kov.cpp once more, position-independent.  A
# version script keeps everything but the kov_* API out of its symbol table,
# so that the C++ runtime's symbols inside it never meet a program's own.
add_library(kov_shared SHARED ${KOV_SOURCES})
set_target_properties(kov_shared PROPERTIES
  OUTPUT_NAME kov
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME kov
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/kov/kov.map)
target_link_options(kov_shared PRIVATE
  "LINKER:--version-script=${PROJECT_SOURCE_DIR}/kov/kov.map")
# Every symbol the library needs must come from its own dependencies; a
# sanitizer's runtime is the exception: the program brings it.
if(NOT (KOV_SANITIZE OR KOV_FUZZ))
  target_link_options(kov_shared PRIVATE "LINKER:--no-undefined")
endif()
target_include_directories(kov_shared PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/kov>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(kov_shared PRIVATE SQLite::SQLite3)
target_link_libraries(kov_shared PRIVATE Threads::Threads)
set_target_properties(kov PROPERTIES EXPORT_NAME kov_static)
target_include_directories(kov INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# A C program links libkov.a with its C compiler, which knows nothing of the
# C++ runtime the archive needs: the libraries the C++ compiler links on its
# own beyond those of the C compiler (libstdc++ and libm with GCC).  The
# installed kov::kov_static carries them, as kov.pc's Libs.private and
# kov-static.pc's Libs do, and all three carry the threads.
set(kov_cxx_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
  list(REMOVE_ITEM kov_cxx_runtime ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
endif()
set(kov_pc_libs_private "")
foreach(lib IN LISTS kov_cxx_runtime)
  target_link_libraries(kov INTERFACE $<INSTALL_INTERFACE:${lib}>)
  if(lib MATCHES "^-" OR IS_ABSOLUTE "${lib}")
    string(APPEND kov_pc_libs_private " ${lib}")
  else()
    string(APPEND kov_pc_libs_private " -l${lib}")
  endif()
endforeach()
if(CMAKE_THREAD_LIBS_INIT)
  string(APPEND kov_pc_libs_private " ${CMAKE_THREAD_LIBS_INIT}")
endif()
string(STRIP "${kov_pc_libs_private}" kov_pc_libs_private)

install(TARGETS kov_shared kov EXPORT kovTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES kov/kov.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_BINARY_DIR}/man/kov.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

set(kov_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kov)
install(EXPORT kovTargets NAMESPACE kov:: DESTINATION ${kov_cmake_dir})
configure_package_config_file(kov/kovConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kovConfig.cmake INSTALL_DESTINATION ${kov_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kovConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kovConfig.cmake ${CMAKE_BINARY_DIR}/kovConfigVersion.cmake
        DESTINATION ${kov_cmake_dir})

# The .pc files find the prefix from their own place, so the installed tree
# can be moved, or installed with cmake --install --prefix.
set(kov_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(kov_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH kov_pc_up /root/${kov_pc_dir} /root)
  string(REGEX REPLACE "/$" "" kov_pc_up "${kov_pc_up}")
  set(kov_pc_prefix "\${pcfiledir}/${kov_pc_up}")
endif()
# kov-static.pc links the archive whatever else the directory holds.
configure_file(kov/kov.pc.in ${CMAKE_BINARY_DIR}/kov.pc @ONLY)
configure_file(kov/kov-static.pc.in ${CMAKE_BINARY_DIR}/kov-static.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kov.pc ${CMAKE_BINARY_DIR}/kov-static.pc
        DESTINATION ${kov_pc_dir})
