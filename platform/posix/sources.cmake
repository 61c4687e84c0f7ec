# The Linux backend of the OS boundary; defines winapi::NativeApi().
target_sources(lxplatform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/commevents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/commstate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/devicemonitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handletable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lasterror.cpp
  ${CMAKE_CURRENT_LIST_DIR}/msgqueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/portmap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posixapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registrystore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serialport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sysfs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/textcodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/waitevent.cpp)
