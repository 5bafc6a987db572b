# Development aid: -DVELTRANO_ONLY="base;crypto" configures only those folders (under src/, src/platform/, tests/).
set(VELTRANO_ONLY "" CACHE STRING "Configure only these folders (semicolon list); empty means all")

# Helpers shared by every folder.

# veltrano_add_subdirectories(<dir>): adds each direct subfolder that has a CMakeLists.txt.
function(veltrano_add_subdirectories dir)
  file(GLOB children RELATIVE ${dir} ${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(VELTRANO_ONLY AND NOT child IN_LIST VELTRANO_ONLY)
      continue()
    endif()
    if(IS_DIRECTORY ${dir}/${child} AND EXISTS ${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# veltrano_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [RESOURCE_LOCK name ...])
# One gtest executable; each test case becomes a ctest test. Tests that share a RESOURCE_LOCK (for example the
# host's fixed ports) never run at the same time.
function(veltrano_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} veltrano_test_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
  # Labels and locks are set by a file of our own that ctest reads after the discovered tests: a list passed
  # through gtest_discover_tests' PROPERTIES would keep only its first element.
  set(properties "")
  if(T_LABELS)
    string(APPEND properties " LABELS \"${T_LABELS}\"")
  endif()
  if(T_RESOURCE_LOCK)
    string(APPEND properties " RESOURCE_LOCK \"${T_RESOURCE_LOCK}\"")
  endif()
  if(properties)
    set(properties_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${properties_file}
      "foreach(test IN LISTS ${name}_TESTS)\n  set_tests_properties(\"\${test}\" PROPERTIES${properties})\nendforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties_file})
  endif()
endfunction()
