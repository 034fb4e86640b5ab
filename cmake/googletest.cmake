# GoogleTest: the installed library for native builds, or Debian's sources
# (package googletest, /usr/src/googletest) where no library matches the
# target, as in the mingw-w64 cross build.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()
if(NOT TARGET GTest::gtest_main)
  set(googletest_source /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${googletest_source}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install libgtest-dev (native) or googletest (sources)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  # GoogleTest is not ours to keep warning-free.
  set(saved_options ${CMAKE_CXX_FLAGS})
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.25)
    add_subdirectory(${googletest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    # What SYSTEM does from CMake 3.25 on, for the CMake 3.20 that
    # CMakeLists.txt allows: GoogleTest's headers are system headers to the
    # tests, so our warnings (and -Werror) stay out of them.
    add_subdirectory(${googletest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(target gtest gtest_main)
      get_target_property(include_dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
      if(include_dirs)
        set_property(TARGET ${target} PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
                     "${include_dirs}")
      endif()
    endforeach()
  endif()
  set_property(DIRECTORY ${googletest_source} PROPERTY COMPILE_OPTIONS "")
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
