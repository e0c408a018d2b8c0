# tf_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#             [RESOURCE_LOCK <locks...>] [TIMEOUT <seconds>])
# Builds one GoogleTest executable and registers each of its tests with CTest.
# Label "threaded" marks tests that the ThreadSanitizer build runs; "slow" marks
# tests that sit through long protocol waits.
include(GoogleTest)

function(tf_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES ${props})
endfunction()
