# The device search on the Qt event loop. Only Qip needs the toolkit; what it reports is
# built by the toolkit-free qipdescribe, shared with qip-discover.
find_package(Qt6 REQUIRED COMPONENTS Core)
add_library(qipsearch STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Qip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Qip.h
  ${CMAKE_CURRENT_LIST_DIR}/QipDelegate.h
  ${CMAKE_CURRENT_LIST_DIR}/QipDeviceDictionary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QipLook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QipLookRead.h
  ${CMAKE_CURRENT_LIST_DIR}/QipSettle.cpp
)
set_target_properties(qipsearch PROPERTIES AUTOMOC ON)
qipfinder_target(qipsearch)
target_link_libraries(qipsearch PUBLIC Qt6::Core qipdescribe)
