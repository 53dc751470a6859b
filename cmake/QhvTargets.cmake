# Helpers shared by every target of the project.

# Strict warnings on our own code only; dependency headers come in as SYSTEM.
function(qhv_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# qhv_add_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Creates qhv_<name> with the alias qhv::<name>; headers live under src/<name>/
# and are included as "<name>/Header.h".
function(qhv_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(qhv_${name} STATIC ${ARG_SOURCES})
  add_library(qhv::${name} ALIAS qhv_${name})
  target_include_directories(qhv_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(qhv_${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  qhv_strict_warnings(qhv_${name})
endfunction()

# qhv_add_test(<name> SOURCES ... LIBS ... [RESOURCE_LOCK <lock>] [LABELS ...]
#              [ENVIRONMENT ...] [FIXTURES_REQUIRED ...])
# One GoogleTest program per unit; each test case becomes a CTest test.
function(qhv_add_test name)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "SOURCES;LIBS;LABELS;ENVIRONMENT;FIXTURES_REQUIRED" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qhv::testsupport GTest::gtest_main GTest::gmock)
  qhv_strict_warnings(${name})
  set(props TIMEOUT 300)
  if(ARG_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if(ARG_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(ARG_FIXTURES_REQUIRED)
    list(APPEND props FIXTURES_REQUIRED "${ARG_FIXTURES_REQUIRED}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    PROPERTIES ${props})
endfunction()
