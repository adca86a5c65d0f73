# Helpers that keep the top-level list short.

set(ZK_ALL_LIBS "")

# zk_library(NAME SUBSYSTEM PATH... [USES NAME...] [LINKS LIB...]): the
# static library zk_NAME of every .cpp and .c under each PATH (a folder, or
# one file), less what a more specific PATH of another library claims (a
# sub-folder, a file) and less any main.cpp (a program's entry point).
# SUBSYSTEM is the layer it belongs to; USES names the libraries of this
# tree it may include and links against (PUBLIC), LINKS the outside ones.
# Declarations are only collected here: zk_make_libraries() makes them,
# once all are known, and writes the table that scripts/check_layers.py
# holds the includes to. A folder without sources (misspelt, moved) fails
# the configure, so no module can drop out of the build unnoticed.
function(zk_library name subsystem)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "USES;LINKS")
  if(NOT arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zk_library(${name}): no path")
  endif()
  set_property(GLOBAL APPEND PROPERTY ZK_LIB_NAMES ${name})
  set_property(GLOBAL PROPERTY ZK_LIB_${name}_SUBSYSTEM ${subsystem})
  set_property(GLOBAL PROPERTY ZK_LIB_${name}_PATHS ${arg_UNPARSED_ARGUMENTS})
  set_property(GLOBAL PROPERTY ZK_LIB_${name}_USES ${arg_USES})
  set_property(GLOBAL PROPERTY ZK_LIB_${name}_LINKS ${arg_LINKS})
endfunction()

# Makes every library declared with zk_library, sets ZK_ALL_LIBS (the
# zk_NAME targets) in the caller, defines zk_libs (every library, for the
# tests and fuzz targets) and writes ${CMAKE_BINARY_DIR}/zk_layers.txt, one
# line per library: name, subsystem, paths, uses (lists joined with ',').
function(zk_make_libraries)
  get_property(names GLOBAL PROPERTY ZK_LIB_NAMES)
  set(all_paths "")
  foreach(n ${names})
    get_property(paths GLOBAL PROPERTY ZK_LIB_${n}_PATHS)
    list(APPEND all_paths ${paths})
  endforeach()
  set(libs "")
  set(table "")
  foreach(n ${names})
    get_property(sub GLOBAL PROPERTY ZK_LIB_${n}_SUBSYSTEM)
    get_property(paths GLOBAL PROPERTY ZK_LIB_${n}_PATHS)
    get_property(uses GLOBAL PROPERTY ZK_LIB_${n}_USES)
    set(srcs "")
    foreach(p ${paths})
      set(full ${CMAKE_SOURCE_DIR}/${p})
      if(IS_DIRECTORY ${full})
        file(GLOB_RECURSE found CONFIGURE_DEPENDS ${full}/*.cpp ${full}/*.c)
        if(NOT found)
          message(FATAL_ERROR "zk_library(${n} ${p}): no .cpp or .c source below ${full}")
        endif()
        # What a more specific path (of any library) claims is not this one's.
        foreach(other ${all_paths})
          string(FIND "${other}" "${p}/" at)
          if(at EQUAL 0)
            set(kept "")
            string(LENGTH "${CMAKE_SOURCE_DIR}/${other}" olen)
            foreach(f ${found})
              string(FIND "${f}" "${CMAKE_SOURCE_DIR}/${other}" fat)
              set(claimed FALSE)
              if(fat EQUAL 0)
                string(LENGTH "${f}" flen)
                if(flen EQUAL olen)
                  set(claimed TRUE)
                else()
                  string(SUBSTRING "${f}" ${olen} 1 next)
                  if(next STREQUAL "/")
                    set(claimed TRUE)
                  endif()
                endif()
              endif()
              if(NOT claimed)
                list(APPEND kept ${f})
              endif()
            endforeach()
            set(found ${kept})
          endif()
        endforeach()
        list(FILTER found EXCLUDE REGEX "/main\\.cpp$")
        list(APPEND srcs ${found})
      elseif(EXISTS ${full})
        if(p MATCHES "\\.(cpp|c)$")
          list(APPEND srcs ${full})
        endif()
      else()
        message(FATAL_ERROR "zk_library(${n}): ${p} does not exist")
      endif()
    endforeach()
    if(NOT srcs)
      message(FATAL_ERROR "zk_library(${n}): no .cpp or .c source in ${paths}")
    endif()
    add_library(zk_${n} STATIC ${srcs})
    target_include_directories(zk_${n} PUBLIC ${CMAKE_SOURCE_DIR}/src/lib ${CMAKE_SOURCE_DIR}/src/opt ${FUSE_INCLUDE_DIRS})
    target_compile_definitions(zk_${n} PUBLIC FUSE_USE_VERSION=26)
    list(APPEND libs zk_${n})
    string(REPLACE ";" "," jp "${paths}")
    string(REPLACE ";" "," ju "${uses}")
    if(NOT ju)
      set(ju "-")
    endif()
    string(APPEND table "${n} ${sub} ${jp} ${ju}\n")
  endforeach()
  # Links once every target exists (a library may name one made after it).
  foreach(n ${names})
    get_property(uses GLOBAL PROPERTY ZK_LIB_${n}_USES)
    get_property(links GLOBAL PROPERTY ZK_LIB_${n}_LINKS)
    set(deps "")
    foreach(u ${uses})
      if(NOT TARGET zk_${u})
        message(FATAL_ERROR "zk_library(${n}): USES ${u}, which is no library")
      endif()
      list(APPEND deps zk_${u})
    endforeach()
    target_link_libraries(zk_${n} PUBLIC ${deps} ${links})
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/zk_layers.txt "${table}")
  add_library(zk_libs INTERFACE)
  target_link_libraries(zk_libs INTERFACE ${libs})
  set(ZK_ALL_LIBS ${libs} PARENT_SCOPE)
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
