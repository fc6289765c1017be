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
  # Each piece's tests carry its label, so that a run can pick pieces:
  # framework, module, host, tts-server, integration.
  if(NOT T_LABELS)
    file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    if(folder MATCHES "^libs/")
      set(T_LABELS framework)
    elseif(folder MATCHES "^plugins/")
      set(T_LABELS module)
    elseif(folder MATCHES "^host")
      set(T_LABELS host)
    elseif(folder MATCHES "^tts-server")
      set(T_LABELS tts-server)
    else()
      set(T_LABELS integration)
    endif()
  endif()
  set(properties TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${properties})
endfunction()
