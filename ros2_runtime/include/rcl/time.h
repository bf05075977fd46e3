// Clock kinds, as rcl names them.
#pragma once

typedef enum rcl_clock_type_e {
  RCL_CLOCK_UNINITIALIZED = 0,
  RCL_ROS_TIME,
  RCL_SYSTEM_TIME,
  RCL_STEADY_TIME
} rcl_clock_type_t;
