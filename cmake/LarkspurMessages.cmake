# ROS 2 message types used by the library's API.
#
# With a ROS 2 environment (sensor_msgs, geometry_msgs and std_msgs found) the
# standard packages are used. Otherwise the same C++ types are generated at
# build time from the definitions in interfaces/ with Debian's ROS 2 IDL
# generator. The project's own larkspur_protocol messages are always generated.
# Everything is reached through the interface target larkspur_msgs.

set(LARKSPUR_INTERFACES_DIR ${CMAKE_CURRENT_SOURCE_DIR}/interfaces)
set(LARKSPUR_GENERATED_MSGS_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated_msgs)

# Debian also packages ROS 1 message configurations under the same names, so
# the packages are only looked for inside a sourced ROS 2 environment.
set(LARKSPUR_USE_ROS2_MSGS OFF)
if("$ENV{ROS_VERSION}" STREQUAL "2")
  find_package(sensor_msgs QUIET)
  find_package(geometry_msgs QUIET)
  find_package(std_msgs QUIET)
  if(sensor_msgs_FOUND AND geometry_msgs_FOUND AND std_msgs_FOUND)
    set(LARKSPUR_USE_ROS2_MSGS ON)
  endif()
endif()
message(STATUS "larkspur: ROS 2 message packages found: ${LARKSPUR_USE_ROS2_MSGS}")

find_program(ROSIDL_EXECUTABLE rosidl REQUIRED)
set(LARKSPUR_ROSIDL_RUNTIME_INCLUDES
  /usr/include/rosidl_runtime_cpp
  /usr/include/rosidl_runtime_c
  /usr/include/rosidl_typesupport_interface)

# larkspur_generate_messages(<package> <Message>...): C++ headers of the
# messages of interfaces/<package>/msg, appended to LARKSPUR_GENERATED_HEADERS.
function(larkspur_generate_messages package)
  set(inputs)
  set(outputs)
  foreach(message IN LISTS ARGN)
    string(REGEX REPLACE "([a-z0-9])([A-Z])" "\\1_\\2" stem ${message})
    string(TOLOWER ${stem} stem)
    set(out ${LARKSPUR_GENERATED_MSGS_DIR}/${package}/msg)
    list(APPEND inputs ${LARKSPUR_INTERFACES_DIR}/${package}:msg/${message}.msg)
    list(APPEND outputs ${out}/${stem}.hpp ${out}/detail/${stem}__struct.hpp
      ${out}/detail/${stem}__builder.hpp ${out}/detail/${stem}__traits.hpp)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${LARKSPUR_INTERFACES_DIR}/${package}/msg/${message}.msg)
  endforeach()
  string(REPLACE ":msg/" "/msg/" sources "${inputs}")
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${ROSIDL_EXECUTABLE} generate -o ${LARKSPUR_GENERATED_MSGS_DIR}/${package} -t cpp
            -I ${LARKSPUR_INTERFACES_DIR} ${package} ${inputs} > /dev/null
    DEPENDS ${sources}
    COMMENT "Generating C++ messages of ${package}"
    VERBATIM)
  set(LARKSPUR_GENERATED_HEADERS ${LARKSPUR_GENERATED_HEADERS} ${outputs} PARENT_SCOPE)
endfunction()

set(LARKSPUR_GENERATED_HEADERS)
if(NOT LARKSPUR_USE_ROS2_MSGS)
  larkspur_generate_messages(builtin_interfaces Time)
  larkspur_generate_messages(std_msgs Header)
  larkspur_generate_messages(geometry_msgs Point Point32 Quaternion Pose)
  larkspur_generate_messages(sensor_msgs LaserScan)
endif()
larkspur_generate_messages(larkspur_protocol SemanticPointCloud)
add_custom_target(larkspur_generate_msgs DEPENDS ${LARKSPUR_GENERATED_HEADERS})

add_library(larkspur_msgs INTERFACE)
add_dependencies(larkspur_msgs larkspur_generate_msgs)
target_include_directories(larkspur_msgs SYSTEM INTERFACE
  $<BUILD_INTERFACE:${LARKSPUR_GENERATED_MSGS_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/larkspur_perception_libs/msgs>)
if(LARKSPUR_USE_ROS2_MSGS)
  target_link_libraries(larkspur_msgs INTERFACE
    ${sensor_msgs_TARGETS} ${geometry_msgs_TARGETS} ${std_msgs_TARGETS})
else()
  target_include_directories(larkspur_msgs SYSTEM INTERFACE ${LARKSPUR_ROSIDL_RUNTIME_INCLUDES})
endif()

# Installs the generated headers below <destination>.
function(larkspur_install_messages destination)
  install(DIRECTORY ${LARKSPUR_GENERATED_MSGS_DIR}/ DESTINATION ${destination}
    FILES_MATCHING PATTERN "*.hpp" PATTERN "tmp" EXCLUDE)
endfunction()
