# The native backend on Windows; defines winapi::NativeApi(). ntdll is bound at run time.
target_sources(lxplatform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/win32api.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/devicemonitor.cpp)
target_link_libraries(lxplatform PUBLIC advapi32 ole32 user32 winspool)
