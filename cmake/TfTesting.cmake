# tf_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#             [RESOURCE_LOCK <locks...>] [TIMEOUT <seconds>]
#             [ENVIRONMENT <VAR=value...>] [TEST_PREFIX <prefix>])
# Builds one GoogleTest executable and registers each of its tests with CTest.
# Label "threaded" marks tests that the ThreadSanitizer build runs; "slow" marks
# tests that sit through long protocol waits.
include(GoogleTest)

function(tf_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;TEST_PREFIX" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENVIRONMENT" ${ARGN})
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
  if(TF_SANITIZE MATCHES "thread")
    # A test's environment replaces the caller's variable, so the options the suite was
    # configured under (CI's halt_on_error, say) are carried over.
    set(tsan_options "suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
    if(DEFINED ENV{TSAN_OPTIONS} AND NOT "$ENV{TSAN_OPTIONS}" STREQUAL "")
      set(tsan_options "$ENV{TSAN_OPTIONS}:${tsan_options}")
    endif()
    list(APPEND T_ENVIRONMENT "TSAN_OPTIONS=${tsan_options}")
  endif()
  if(T_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${T_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 TEST_PREFIX "${T_TEST_PREFIX}"
                       PROPERTIES ${props})
endfunction()

# tf_preload_environment(<out-var> <shared-library targets...>)
# Sets <out-var> to an LD_PRELOAD=... entry for ENVIRONMENT that loads the
# given libraries into a program (the updater, say) in place of the ones it
# links. In sanitizer builds the sanitizer runtime leads the list: AddressSanitizer
# refuses to start unless its runtime is the first library loaded.
if(TF_SANITIZE MATCHES "address")
  set(_tf_sanitizer_runtime libasan.so)
elseif(TF_SANITIZE MATCHES "thread")
  set(_tf_sanitizer_runtime libtsan.so)
endif()
if(_tf_sanitizer_runtime)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_tf_sanitizer_runtime}
                  OUTPUT_VARIABLE TF_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(TF_SANITIZER_RUNTIME "${TF_SANITIZER_RUNTIME}" REALPATH)
endif()

function(tf_preload_environment out)
  set(libs)
  if(TF_SANITIZER_RUNTIME)
    list(APPEND libs "${TF_SANITIZER_RUNTIME}")
  endif()
  foreach(t IN LISTS ARGN)
    list(APPEND libs "$<TARGET_FILE:${t}>")
  endforeach()
  list(JOIN libs ":" joined)
  set(${out} "LD_PRELOAD=${joined}" PARENT_SCOPE)
endfunction()
