# The native backend on real pseudo-terminals, folders and threads.
add_executable(test_platform_posix
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_objects.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_serial_events.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_serial_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_serial_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_serial_rs485.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_serial_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_helpers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_setupapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_posix_devicemonitor.cpp)
target_link_libraries(test_platform_posix PRIVATE lxplatform px_pty GTest::gtest_main ${CMAKE_DL_LIBS})
gtest_discover_tests(test_platform_posix PROPERTIES TIMEOUT 60)
if(TARGET lxports)
  add_dependencies(test_platform_posix lxports)
  target_compile_definitions(test_platform_posix PRIVATE LXPORTS_PROGRAM="$<TARGET_FILE:lxports>")
endif()
