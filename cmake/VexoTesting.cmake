# GoogleTest: Debian's prebuilt libraries for the native build; for the Windows build, the same
# version compiled from Debian's source package (/usr/src/googletest) with the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(VEXO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  if(NOT EXISTS ${VEXO_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found at ${VEXO_GTEST_SOURCE}: install Debian's "
                        "googletest package (scripts/setup-debian.sh does).")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VEXO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Newer GoogleTest releases define the namespaced names themselves.
  foreach(library gtest gtest_main gmock)
    if(NOT TARGET GTest::${library})
      add_library(GTest::${library} ALIAS ${library})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# vexo_add_test(name SOURCES ... LIBRARIES ... [LABELS ...])
# Native builds list every test case in CTest; the Windows build runs each binary under wine as one
# CTest entry, since listing cases would start wine once more per binary at build time.
function(vexo_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main GTest::gmock vexo_options)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS};wine" TIMEOUT 600)
  else()
    vexo_transfer_beside(${name})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}"
                         TIMEOUT 300)
  endif()
endfunction()
