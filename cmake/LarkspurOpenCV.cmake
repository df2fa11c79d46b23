# OpenCV 4 modules core, imgproc, highgui and imgcodecs as the imported targets
# opencv_<module>. Uses OpenCV's own CMake package when present (the full
# libopencv-dev, or a ROS 2 environment); Debian's per-module -dev packages
# ship none, so otherwise the headers and libraries are located directly.
set(LARKSPUR_OPENCV_MODULES core imgproc highgui imgcodecs)
find_package(OpenCV 4 QUIET COMPONENTS ${LARKSPUR_OPENCV_MODULES})
if(NOT OpenCV_FOUND)
  find_path(LARKSPUR_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
  foreach(module IN LISTS LARKSPUR_OPENCV_MODULES)
    if(NOT TARGET opencv_${module})
      find_library(LARKSPUR_OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
      add_library(opencv_${module} SHARED IMPORTED GLOBAL)
      set_target_properties(opencv_${module} PROPERTIES
        IMPORTED_LOCATION ${LARKSPUR_OPENCV_${module}_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${LARKSPUR_OPENCV_INCLUDE_DIR})
    endif()
  endforeach()
endif()
