# The helper functions of the platform layer, run against the scripted fake OS.
add_executable(test_platform_logic
  ${CMAKE_CURRENT_LIST_DIR}/test_winapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_fake_winapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_fake_serial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_lxsysutils.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_lxwin32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_lxwin32di.cpp)
target_link_libraries(test_platform_logic PRIVATE px_fake GTest::gtest_main)
gtest_discover_tests(test_platform_logic)
