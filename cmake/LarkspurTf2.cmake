# Yaw of a quaternion through tf2: ROS 2's tf2 (with its geometry_msgs
# conversions) when found, otherwise Debian's header-only tf2/utils.h.
add_library(larkspur_tf2 INTERFACE)
if(LARKSPUR_USE_ROS2_MSGS)
  find_package(tf2 QUIET)
  find_package(tf2_geometry_msgs QUIET)
endif()
if(tf2_FOUND AND tf2_geometry_msgs_FOUND)
  target_link_libraries(larkspur_tf2 INTERFACE tf2::tf2 tf2_geometry_msgs::tf2_geometry_msgs)
  target_compile_definitions(larkspur_tf2 INTERFACE LARKSPUR_HAVE_ROS2_TF2)
else()
  find_path(LARKSPUR_TF2_INCLUDE_DIR tf2/utils.h REQUIRED)
  target_include_directories(larkspur_tf2 SYSTEM INTERFACE ${LARKSPUR_TF2_INCLUDE_DIR})
endif()
