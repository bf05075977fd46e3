# Message generation for ROS .msg/.srv files: C++ headers at the ROS 2
# include paths plus Cyclone IDL, written under ROS2_RUNTIME_GEN_DIR.
#
#   ros2_generate_interfaces(<package> FILES <abs paths of .msg/.srv>)
#
# Creates the custom target <package>__interfaces. Headers are also produced
# at configure time, so code that includes them can be configured at once.
set(ROS2_RUNTIME_GENERATOR ${CMAKE_CURRENT_LIST_DIR}/../generator/rosidl_gen.py
    CACHE INTERNAL "message generator")

function(ros2_generate_interfaces pkg)
  cmake_parse_arguments(ARG "" "" "FILES" ${ARGN})
  if(NOT ARG_FILES)
    message(FATAL_ERROR "ros2_generate_interfaces(${pkg}): no FILES")
  endif()
  set(stamp ${ROS2_RUNTIME_GEN_DIR}/stamps/${pkg}.stamp)
  file(MAKE_DIRECTORY ${ROS2_RUNTIME_GEN_DIR}/stamps)
  set(cmd ${Python3_EXECUTABLE} ${ROS2_RUNTIME_GENERATOR} --package ${pkg}
      --out ${ROS2_RUNTIME_GEN_DIR}/include --idl-out ${ROS2_RUNTIME_GEN_DIR}/idl ${ARG_FILES})
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "generating ${pkg} interfaces failed")
  endif()
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${cmd}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${ARG_FILES} ${ROS2_RUNTIME_GENERATOR}
    COMMENT "Generating ${pkg} interfaces"
    VERBATIM)
  add_custom_target(${pkg}__interfaces DEPENDS ${stamp})
  set_property(GLOBAL APPEND PROPERTY ROS2_INTERFACE_TARGETS ${pkg}__interfaces)
endfunction()

# A static C library of idlc-compiled types, for raw Cyclone C code (the
# benchmark's reference path and the interop tests).
#   ros2_idlc_library(<target> ROOT <include root> FILES <idl paths relative to ROOT>)
function(ros2_idlc_library target)
  cmake_parse_arguments(ARG "" "ROOT;OUT" "FILES;DEPENDS" ${ARGN})
  if(NOT ARG_OUT)
    set(ARG_OUT ${CMAKE_CURRENT_BINARY_DIR}/${target}_idlc)
  endif()
  find_program(IDLC_EXECUTABLE idlc REQUIRED)
  set(sources)
  foreach(rel ${ARG_FILES})
    get_filename_component(dir ${rel} DIRECTORY)
    get_filename_component(name ${rel} NAME_WE)
    set(c ${ARG_OUT}/${dir}/${name}.c)
    set(h ${ARG_OUT}/${dir}/${name}.h)
    add_custom_command(OUTPUT ${c} ${h}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ARG_OUT}/${dir}
      COMMAND ${IDLC_EXECUTABLE} -x final -I ${ARG_ROOT} -o ${ARG_OUT}/${dir} ${ARG_ROOT}/${rel}
      DEPENDS ${ARG_ROOT}/${rel} ${ARG_DEPENDS}
      COMMENT "idlc ${rel}"
      VERBATIM)
    list(APPEND sources ${c})
  endforeach()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${ARG_OUT})
  target_link_libraries(${target} PUBLIC CycloneDDS::ddsc)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()
