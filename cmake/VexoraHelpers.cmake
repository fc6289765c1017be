include(GoogleTest)

# vx_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1] [TIMEOUT s])
# Adds one GoogleTest program. Each of its tests is registered with CTest on
# its own, so every test runs in a fresh process: the module allows one
# engine per process, exactly as a host loads it.
function(vx_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(properties TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND properties LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${properties})
endfunction()
