// The rmw value types the rclcpp API exposes (QoS profile, request id).
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct rmw_time_s {
  uint64_t sec;
  uint64_t nsec;
} rmw_time_t;

enum rmw_qos_history_policy_e {
  RMW_QOS_POLICY_HISTORY_SYSTEM_DEFAULT,
  RMW_QOS_POLICY_HISTORY_KEEP_LAST,
  RMW_QOS_POLICY_HISTORY_KEEP_ALL,
  RMW_QOS_POLICY_HISTORY_UNKNOWN
};
enum rmw_qos_reliability_policy_e {
  RMW_QOS_POLICY_RELIABILITY_SYSTEM_DEFAULT,
  RMW_QOS_POLICY_RELIABILITY_RELIABLE,
  RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT,
  RMW_QOS_POLICY_RELIABILITY_UNKNOWN
};
enum rmw_qos_durability_policy_e {
  RMW_QOS_POLICY_DURABILITY_SYSTEM_DEFAULT,
  RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL,
  RMW_QOS_POLICY_DURABILITY_VOLATILE,
  RMW_QOS_POLICY_DURABILITY_UNKNOWN
};
enum rmw_qos_liveliness_policy_e {
  RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT = 0,
  RMW_QOS_POLICY_LIVELINESS_AUTOMATIC = 1,
  RMW_QOS_POLICY_LIVELINESS_MANUAL_BY_TOPIC = 3,
  RMW_QOS_POLICY_LIVELINESS_UNKNOWN = 4
};

typedef enum rmw_qos_history_policy_e rmw_qos_history_policy_t;
typedef enum rmw_qos_reliability_policy_e rmw_qos_reliability_policy_t;
typedef enum rmw_qos_durability_policy_e rmw_qos_durability_policy_t;
typedef enum rmw_qos_liveliness_policy_e rmw_qos_liveliness_policy_t;

typedef struct rmw_qos_profile_s {
  enum rmw_qos_history_policy_e history;
  size_t depth;
  enum rmw_qos_reliability_policy_e reliability;
  enum rmw_qos_durability_policy_e durability;
  struct rmw_time_s deadline;
  struct rmw_time_s lifespan;
  enum rmw_qos_liveliness_policy_e liveliness;
  struct rmw_time_s liveliness_lease_duration;
  bool avoid_ros_namespace_conventions;
} rmw_qos_profile_t;

#define RMW_QOS_POLICY_DEPTH_SYSTEM_DEFAULT 0
#define RMW_GID_STORAGE_SIZE 24u

typedef struct rmw_request_id_s {
  int8_t writer_guid[16];
  int64_t sequence_number;
} rmw_request_id_t;

#ifdef __cplusplus
}
#endif
