#Real pseudo - terminal pairs and a private port folder, for tests that run on the native backend.
add_library(px_pty STATIC ${CMAKE_CURRENT_LIST_DIR} / pty.cpp)
    target_include_directories(px_pty PUBLIC ${CMAKE_CURRENT_LIST_DIR})
