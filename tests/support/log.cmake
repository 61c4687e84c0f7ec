# The recording log: a TlxCustomLogFile that keeps every line with its level, for tests.
add_library(px_recording_log STATIC ${CMAKE_CURRENT_LIST_DIR}/recording_log.cpp)
target_include_directories(px_recording_log PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(px_recording_log PUBLIC lxiocomponents)
