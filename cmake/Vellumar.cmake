# Helpers shared by every folder's build file.

# Warnings are errors for our own code (not for third-party headers, which come in as SYSTEM).
function(vl_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# vl_library(name SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A static library whose headers are included from src/ ("platform/clock/Clock.h").
function(vl_library name)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
  vl_warnings(${name})
endfunction()

# vl_test(name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT seconds])
# A GoogleTest executable; each test case becomes one CTest test.
function(vl_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  vl_warnings(${name})
  set(props TIMEOUT ${A_TIMEOUT} ENVIRONMENT "VL_BUILD_DIR=${PROJECT_BINARY_DIR}")
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if("concurrency" IN_LIST A_LABELS)
    set_property(GLOBAL APPEND PROPERTY VL_CONCURRENCY_TESTS ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# vl_module(name SOURCES ... [LIBS ...]): a shared library loaded at run time (plug-in, driver),
# without the "lib" prefix so that tests name it by its target name.
function(vl_module name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${A_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  vl_warnings(${name})
endfunction()

# vl_fuzz(name SOURCES ... [LIBS ...]): a libFuzzer target, built only with VL_BUILD_FUZZ (clang).
function(vl_fuzz name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
