# GoogleTest for a cross build. The build machine's GoogleTest libraries are
# built for the build machine, so a cross build compiles Debian's source copy
# (package googletest, /usr/src/googletest) with the cross compiler instead;
# nothing is fetched from the network.
set(VELMORA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")
# Sets GTest_FOUND as find_package(GTest) does.
set(GTest_FOUND FALSE)
if(NOT EXISTS ${VELMORA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  return()
endif()
set(GTest_FOUND TRUE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VELMORA_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# GoogleTest's own build defines GTest::gtest and GTest::gtest_main.
if(WIN32)
  # Every test program prints with "\n" line ends, as on Linux, so that test
  # discovery reads clean test names. An interface source is compiled into
  # each program, where the linker cannot drop it.
  target_sources(gtest_main INTERFACE ${PROJECT_SOURCE_DIR}/tests/binary_stdout_windows.cpp)
endif()

if(NOT (WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR))
  return()
endif()

# Under Wine, the first program started makes the Wine prefix, which takes a
# while: made once here, before any test program is built and run for test
# discovery, rather than by two of them at once.
set(velmora_wine_prefix_stamp ${PROJECT_BINARY_DIR}/wine-prefix.stamp)
add_custom_command(OUTPUT ${velmora_wine_prefix_stamp}
                   COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot
                   COMMAND ${CMAKE_COMMAND} -E touch ${velmora_wine_prefix_stamp}
                   COMMENT "Making the Wine prefix the tests run in"
                   VERBATIM)
add_custom_target(velmora_wine_prefix DEPENDS ${velmora_wine_prefix_stamp})
add_dependencies(gtest_main velmora_wine_prefix)

# The Wine server and its services outlive the program that starts them and
# keep its standard streams open: a test that started them would not end, for
# ctest, before they do. So ctest starts them first, apart from every test's
# streams, and stops them when all tests have run.
find_program(VELMORA_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VELMORA_WINESERVER)
  set(velmora_wine_session
      "/bin/sh \\\"${PROJECT_SOURCE_DIR}/cmake/wine_session.sh\\\" \\\"${PROJECT_BINARY_DIR}/wine-prefix\\\" \\\"${VELMORA_WINE}\\\" \\\"${VELMORA_WINESERVER}\\\"")
  file(WRITE ${PROJECT_BINARY_DIR}/CTestCustom.cmake
       "set(CTEST_CUSTOM_PRE_TEST \"${velmora_wine_session} start\")\n"
       "set(CTEST_CUSTOM_POST_TEST \"${velmora_wine_session} stop\")\n")
endif()
