# Helpers that keep the top-level list short.

set(ZK_ALL_LIBS "")

# zk_library(NAME DIR): a static library of every .cpp below DIR. A folder
# without sources (misspelt, moved) fails the configure, so no module can
# drop out of the build unnoticed.
function(zk_library name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.c)
  if(NOT srcs)
    message(FATAL_ERROR "zk_library(${name} ${dir}): no .cpp or .c source below ${CMAKE_SOURCE_DIR}/${dir}")
  endif()
  add_library(zk_${name} STATIC ${srcs})
  target_include_directories(zk_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src/lib ${CMAKE_SOURCE_DIR}/src/opt)
  target_compile_definitions(zk_${name} PUBLIC FUSE_USE_VERSION=26)
  target_include_directories(zk_${name} PUBLIC ${FUSE_INCLUDE_DIRS})
  set(ZK_ALL_LIBS ${ZK_ALL_LIBS} zk_${name} PARENT_SCOPE)
endfunction()

# The libraries call each other in both directions (the log uses the string
# helpers, the string helpers log), so everything links as one group.
function(zk_link_all)
  add_library(zk_libs INTERFACE)
  string(REPLACE ";" "," group "${ZK_ALL_LIBS}")
  target_link_libraries(zk_libs INTERFACE
    "$<LINK_GROUP:RESCAN,${group}>"
    PkgConfig::FUSE mbedtls mbedx509 mbedcrypto lz4 physfs Threads::Threads ${CMAKE_DL_LIBS})
  target_include_directories(zk_libs INTERFACE ${CMAKE_SOURCE_DIR}/src/lib ${CMAKE_SOURCE_DIR}/src/opt)
  target_compile_definitions(zk_libs INTERFACE FUSE_USE_VERSION=26)
endfunction()

# zk_tests(NAME [LIB...]): one GoogleTest binary of every *_test.cpp under
# tests/NAME, linked with the given libraries besides the common ones.
function(zk_tests name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${name}/*_test.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name}_test ${srcs})
  target_link_libraries(${name}_test PRIVATE ${ARGN} zk_libs GTest::gtest GTest::gtest_main)
  target_include_directories(${name}_test PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name}_test PRIVATE
    ZK_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ZK_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# Every tests/**/*_test.py is a test of its own, run with the built program
# through tests/zk_runner.py, which exits 77 when any of the script's tests
# was skipped: ctest then reports the script as skipped, not as passed.
# (GoogleTest's skips show the same way: gtest_discover_tests matches its
# "[  SKIPPED ]" line.)
function(zk_script_tests)
  file(GLOB_RECURSE scripts CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*_test.py)
  foreach(s ${scripts})
    get_filename_component(n ${s} NAME_WE)
    add_test(NAME py_${n} COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/zk_runner.py ${s})
    set_tests_properties(py_${n} PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77
      ENVIRONMENT "ZKUE=$<TARGET_FILE:zkue>;ZK_BINARY_DIR=${CMAKE_BINARY_DIR};ZK_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endforeach()
endfunction()
