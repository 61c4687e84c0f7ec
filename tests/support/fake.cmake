# The scripted fake OS: the whole OS boundary in memory, for tests of the logic above it.
add_library(px_fake STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_winapi.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/fake_setupapi.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/fake_serial.cpp)
target_include_directories(px_fake PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(px_fake PUBLIC lxplatform)
