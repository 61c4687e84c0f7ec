# Real pseudo-terminal pairs, a private port folder and synthetic sysfs trees, for tests that run
# on the native backend.
add_library(px_pty STATIC ${CMAKE_CURRENT_LIST_DIR}/pty.cpp ${CMAKE_CURRENT_LIST_DIR}/sysfs_tree.cpp)
target_include_directories(px_pty PUBLIC ${CMAKE_CURRENT_LIST_DIR})
