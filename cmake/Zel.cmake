# Build conventions shared by every folder.
#   zel_library(name SOURCES ... DEPS ...)      static library, include root is the repo
#   zel_test(name LABEL unit SOURCES ... DEPS ... NEEDS programs...)
#                                                    GoogleTest executable run by CTest
#   zel_fuzz(name SOURCES ... DEPS ... CORPUS dir)   libFuzzer target (ZEL_FUZZ build) or a
#                                                    corpus replay test (normal build)
include_guard(GLOBAL)

add_compile_options(-Wall -Wextra)
if(ZEL_FUZZ)
  # Coverage feedback for every library the fuzz targets link; leaks and UB fail a run.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_custom_target(fuzzers)
if(ZEL_SANITIZE)
  add_compile_options(-fsanitize=${ZEL_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${ZEL_SANITIZE})
endif()

function(zel_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;PUBLIC_DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_DEPS} ${A_DEPS})
  target_compile_definitions(${name} PUBLIC
    ZEL_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} ZEL_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    ZEL_VERSION_PATCH=${PROJECT_VERSION_PATCH} ZEL_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
endfunction()

set(ZEL_TEST_TIMEOUT 300)
function(zel_test name)
  if(ZEL_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "LABEL;TIMEOUT" "SOURCES;DEPS;NEEDS" ${ARGN})
  if(NOT A_LABEL)
    set(A_LABEL unit)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT ${ZEL_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${A_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    ZEL_BIN_DIR="${ZEL_BIN_DIR}" ZEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  if(A_NEEDS)
    add_dependencies(${name} ${A_NEEDS})  # programs the test starts
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES LABELS ${A_LABEL} TIMEOUT ${A_TIMEOUT})
endfunction()

# zel_screenshot_test(name SOURCES ... DEPS ...): a GoogleTest program that draws desktop
# windows under xvfb-run (X server, CJK font) into <build>/screenshots (ZEL_SCREENSHOT_DIR);
# left out when xvfb-run is not installed.
function(zel_screenshot_test name)
  find_program(ZEL_XVFB_RUN xvfb-run)
  if(ZEL_FUZZ OR NOT ZEL_XVFB_RUN)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ZEL_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
  add_test(NAME ${name}
           COMMAND ${ZEL_XVFB_RUN} -a -s "-screen 0 1024x768x24" $<TARGET_FILE:${name}> --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=xcb")
endfunction()

# A fuzz target defines LLVMFuzzerTestOneInput. In the clang build (ZEL_FUZZ) it becomes
# a libFuzzer binary that CTest runs for ZEL_FUZZ_SECONDS from its corpus; in the normal
# build it is linked with a small driver that replays the corpus, so every found crash
# stays a regression case.
set(ZEL_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs in CI")
function(zel_fuzz name)
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/${A_CORPUS})
  if(ZEL_FUZZ)
    add_executable(${name} ${A_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${A_DEPS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
    set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    add_test(NAME ${name}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
              sh -c "mkdir -p ${work} && exec $<TARGET_FILE:${name}> -max_total_time=${ZEL_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${work} ${corpus}")
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
  else()
    add_executable(${name}_replay ${A_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cc)
    set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${name}_replay PRIVATE ${A_DEPS})
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${corpus})
    set_tests_properties(${name}_replay PROPERTIES LABELS fuzz TIMEOUT 300)
  endif()
endfunction()
