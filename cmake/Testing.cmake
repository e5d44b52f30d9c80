include(GoogleTest)

# Every test runs in a home of its own (cmake/test-home.sh): an empty folder
# under the build tree's test-homes/, made when the test starts and removed
# when it ends, for HOME, the XDG folders and HISTFILE, with no way to the
# desktop's session bus, display or keyring (a test that draws starts its own
# X server) and the leak suppressions of lsan.supp. Tests are registered
# through the functions below; a plain add_test fails the configure step
# (qm_check_test_homes).
set(QM_TEST_HOME_LAUNCHER bash ${CMAKE_CURRENT_LIST_DIR}/test-home.sh ${PROJECT_BINARY_DIR}/test-homes)

# qm_add_test(NAME <name> COMMAND <program or target> [<arg>...] [WORKING_DIRECTORY <dir>])
# add_test, with the command run in a home of its own.
function(qm_add_test)
  cmake_parse_arguments(ARG "" "NAME;WORKING_DIRECTORY" "COMMAND" ${ARGN})
  list(POP_FRONT ARG_COMMAND program)
  if(TARGET ${program})
    set(program $<TARGET_FILE:${program}>)
  endif()
  set(where)
  if(ARG_WORKING_DIRECTORY)
    set(where WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${QM_TEST_HOME_LAUNCHER} ${program} ${ARG_COMMAND} ${where})
  set_property(GLOBAL APPEND PROPERTY QM_HOMED_TESTS ${ARG_NAME})
endfunction()

# Fails when a test below DIR was added with add_test itself: it would run in
# the home of whoever runs the tests.
function(qm_check_test_homes dir)
  get_property(homed GLOBAL PROPERTY QM_HOMED_TESTS)
  get_property(tests DIRECTORY ${dir} PROPERTY TESTS)
  foreach(test IN LISTS tests)
    if(NOT test IN_LIST homed)
      message(FATAL_ERROR "Test ${test} (${dir}) would run in the home of whoever runs the tests: "
        "register it with qm_add_test (cmake/Testing.cmake) instead of add_test.")
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    qm_check_test_homes(${sub})
  endforeach()
endfunction()

# qm_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [TIMEOUT <s>])
# One GoogleTest executable, each of its tests registered with CTest.
function(qm_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # Each discovered test is a run of its own, and so gets a home of its own.
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.29)
    set_property(TARGET ${name} PROPERTY TEST_LAUNCHER ${QM_TEST_HOME_LAUNCHER})
  else()
    set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR ${QM_TEST_HOME_LAUNCHER})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}"
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# qm_add_qtest(<name> SOURCES <files...> LIBS <targets...>)
# One Qt Test executable, run offscreen as a single CTest test.
function(qm_add_qtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  qm_add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# qm_add_fuzzer(<name> SOURCES <files...> LIBS <targets...> [SECONDS <n>])
# A libFuzzer target; with QM_FUZZ on it also runs as a bounded CTest test.
function(qm_add_fuzzer name)
  cmake_parse_arguments(ARG "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT QM_FUZZ)
    return()
  endif()
  if(NOT ARG_SECONDS)
    set(ARG_SECONDS 30)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  # A run starts from what earlier runs found: fuzz/corpus/<name> in the
  # repository (read only; scripts/fuzz-corpus.sh grows and minimises it).
  # What the run adds goes to a folder of the build tree.
  set(grown "${CMAKE_CURRENT_BINARY_DIR}/corpus/${name}")
  file(MAKE_DIRECTORY "${grown}")
  set(corpora "${grown}")
  if(EXISTS "${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}")
    list(APPEND corpora "${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}")
  endif()
  qm_add_test(NAME ${name} COMMAND ${name} -max_total_time=${ARG_SECONDS} -rss_limit_mb=2048 -print_final_stats=0 ${corpora})
  math(EXPR limit "${ARG_SECONDS} + 120")
  set_tests_properties(${name} PROPERTIES TIMEOUT ${limit} LABELS fuzz)
endfunction()

# qm_add_gl_test(<test> TARGET <executable> [ARGS <args...>] [ENVIRONMENT <k=v...>] [TIMEOUT <s>])
# A test that needs an OpenGL context or a shown window: run under a virtual
# X server (Mesa's llvmpipe). Mesa keeps a few bytes it never frees, so the
# sanitizer's leak check, which would only ever see the driver, is off.
find_program(QM_XVFB Xvfb)
function(qm_add_gl_test test)
  cmake_parse_arguments(ARG "" "TARGET;TIMEOUT" "ARGS;ENVIRONMENT" ${ARGN})
  if(NOT QM_XVFB)
    message(WARNING "Xvfb not found: ${test} is not registered (scripts/install-deps.sh installs it)")
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 180)
  endif()
  qm_add_test(NAME ${test}
    COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/with-xvfb.sh $<TARGET_FILE:${ARG_TARGET}> ${ARG_ARGS})
  set(environment "QT_QPA_PLATFORM=xcb" ${ARG_ENVIRONMENT})
  if(QM_SANITIZE)
    list(APPEND environment "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
  endif()
  set_tests_properties(${test} PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${environment}")
endfunction()
