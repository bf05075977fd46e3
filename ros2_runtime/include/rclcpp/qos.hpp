// rclcpp::QoS and the stock profiles. Mapping to DDS policies lives in the
// runtime (ros2_runtime/dds_bridge.hpp), where every policy is set explicitly.
#pragma once

#include <cstddef>

#include "rclcpp/duration.hpp"
#include "rmw/qos_profiles.h"
#include "rmw/types.h"

namespace rclcpp {

enum class HistoryPolicy {
  KeepLast = RMW_QOS_POLICY_HISTORY_KEEP_LAST,
  KeepAll = RMW_QOS_POLICY_HISTORY_KEEP_ALL,
  SystemDefault = RMW_QOS_POLICY_HISTORY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_HISTORY_UNKNOWN,
};
enum class ReliabilityPolicy {
  BestEffort = RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT,
  Reliable = RMW_QOS_POLICY_RELIABILITY_RELIABLE,
  SystemDefault = RMW_QOS_POLICY_RELIABILITY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_RELIABILITY_UNKNOWN,
};
enum class DurabilityPolicy {
  Volatile = RMW_QOS_POLICY_DURABILITY_VOLATILE,
  TransientLocal = RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL,
  SystemDefault = RMW_QOS_POLICY_DURABILITY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_DURABILITY_UNKNOWN,
};
enum class LivelinessPolicy {
  Automatic = RMW_QOS_POLICY_LIVELINESS_AUTOMATIC,
  ManualByTopic = RMW_QOS_POLICY_LIVELINESS_MANUAL_BY_TOPIC,
  SystemDefault = RMW_QOS_POLICY_LIVELINESS_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_LIVELINESS_UNKNOWN,
};

struct QoSInitialization {
  rmw_qos_history_policy_t history_policy;
  size_t depth;
  QoSInitialization(rmw_qos_history_policy_t history_policy_arg, size_t depth_arg)
      : history_policy(history_policy_arg), depth(depth_arg) {}
  static QoSInitialization from_rmw(const rmw_qos_profile_t& rmw_qos) {
    switch (rmw_qos.history) {
      case RMW_QOS_POLICY_HISTORY_KEEP_ALL:
        return QoSInitialization(RMW_QOS_POLICY_HISTORY_KEEP_ALL, 0);
      case RMW_QOS_POLICY_HISTORY_KEEP_LAST:
      case RMW_QOS_POLICY_HISTORY_SYSTEM_DEFAULT:
      case RMW_QOS_POLICY_HISTORY_UNKNOWN:
      default:
        return QoSInitialization(rmw_qos.history, rmw_qos.depth);
    }
  }
};

struct KeepAll : public QoSInitialization {
  KeepAll() : QoSInitialization(RMW_QOS_POLICY_HISTORY_KEEP_ALL, 0) {}
};
struct KeepLast : public QoSInitialization {
  explicit KeepLast(size_t depth) : QoSInitialization(RMW_QOS_POLICY_HISTORY_KEEP_LAST, depth) {}
};

class QoS {
public:
  explicit QoS(const QoSInitialization& qos_initialization,
               const rmw_qos_profile_t& initial_profile = rmw_qos_profile_default)
      : rmw_qos_profile_(initial_profile) {
    rmw_qos_profile_.history = qos_initialization.history_policy;
    rmw_qos_profile_.depth = qos_initialization.depth;
  }
  // Keep last `history_depth`, reliable, volatile.
  QoS(size_t history_depth)  // NOLINT(runtime/explicit): implicit as in rclcpp
      : QoS(KeepLast(history_depth)) {}

  rmw_qos_profile_t& get_rmw_qos_profile() { return rmw_qos_profile_; }
  const rmw_qos_profile_t& get_rmw_qos_profile() const { return rmw_qos_profile_; }

  QoS& history(rmw_qos_history_policy_t h) {
    rmw_qos_profile_.history = h;
    return *this;
  }
  QoS& history(HistoryPolicy h) { return history(static_cast<rmw_qos_history_policy_t>(h)); }
  QoS& keep_last(size_t depth) {
    rmw_qos_profile_.history = RMW_QOS_POLICY_HISTORY_KEEP_LAST;
    rmw_qos_profile_.depth = depth;
    return *this;
  }
  QoS& keep_all() {
    rmw_qos_profile_.history = RMW_QOS_POLICY_HISTORY_KEEP_ALL;
    rmw_qos_profile_.depth = 0;
    return *this;
  }
  QoS& reliability(rmw_qos_reliability_policy_t r) {
    rmw_qos_profile_.reliability = r;
    return *this;
  }
  QoS& reliability(ReliabilityPolicy r) {
    return reliability(static_cast<rmw_qos_reliability_policy_t>(r));
  }
  QoS& reliable() { return reliability(RMW_QOS_POLICY_RELIABILITY_RELIABLE); }
  QoS& best_effort() { return reliability(RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT); }
  QoS& durability(rmw_qos_durability_policy_t d) {
    rmw_qos_profile_.durability = d;
    return *this;
  }
  QoS& durability(DurabilityPolicy d) {
    return durability(static_cast<rmw_qos_durability_policy_t>(d));
  }
  QoS& durability_volatile() { return durability(RMW_QOS_POLICY_DURABILITY_VOLATILE); }
  QoS& transient_local() { return durability(RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL); }
  QoS& deadline(const rclcpp::Duration& d) {
    rmw_qos_profile_.deadline = to_rmw_time(d);
    return *this;
  }
  QoS& lifespan(const rclcpp::Duration& d) {
    rmw_qos_profile_.lifespan = to_rmw_time(d);
    return *this;
  }
  QoS& liveliness(LivelinessPolicy l) {
    rmw_qos_profile_.liveliness = static_cast<rmw_qos_liveliness_policy_t>(l);
    return *this;
  }
  QoS& liveliness_lease_duration(const rclcpp::Duration& d) {
    rmw_qos_profile_.liveliness_lease_duration = to_rmw_time(d);
    return *this;
  }
  QoS& avoid_ros_namespace_conventions(bool avoid) {
    rmw_qos_profile_.avoid_ros_namespace_conventions = avoid;
    return *this;
  }

  HistoryPolicy history() const { return static_cast<HistoryPolicy>(rmw_qos_profile_.history); }
  size_t depth() const { return rmw_qos_profile_.depth; }
  ReliabilityPolicy reliability() const {
    return static_cast<ReliabilityPolicy>(rmw_qos_profile_.reliability);
  }
  DurabilityPolicy durability() const {
    return static_cast<DurabilityPolicy>(rmw_qos_profile_.durability);
  }
  LivelinessPolicy liveliness() const {
    return static_cast<LivelinessPolicy>(rmw_qos_profile_.liveliness);
  }
  rclcpp::Duration deadline() const { return from_rmw_time(rmw_qos_profile_.deadline); }
  rclcpp::Duration lifespan() const { return from_rmw_time(rmw_qos_profile_.lifespan); }

  bool operator==(const QoS& o) const {
    const auto& a = rmw_qos_profile_;
    const auto& b = o.rmw_qos_profile_;
    return a.history == b.history && a.depth == b.depth && a.reliability == b.reliability &&
           a.durability == b.durability && a.deadline.sec == b.deadline.sec &&
           a.deadline.nsec == b.deadline.nsec && a.lifespan.sec == b.lifespan.sec &&
           a.lifespan.nsec == b.lifespan.nsec && a.liveliness == b.liveliness &&
           a.avoid_ros_namespace_conventions == b.avoid_ros_namespace_conventions;
  }
  bool operator!=(const QoS& o) const { return !(*this == o); }

private:
  static rmw_time_t to_rmw_time(const rclcpp::Duration& d) {
    const int64_t ns = d.nanoseconds() < 0 ? 0 : d.nanoseconds();
    return rmw_time_t{static_cast<uint64_t>(ns / 1000000000),
                      static_cast<uint64_t>(ns % 1000000000)};
  }
  static rclcpp::Duration from_rmw_time(const rmw_time_t& t) {
    return rclcpp::Duration::from_nanoseconds(static_cast<int64_t>(t.sec * 1000000000ull + t.nsec));
  }

  rmw_qos_profile_t rmw_qos_profile_;
};

class SensorDataQoS : public QoS {
public:
  explicit SensorDataQoS(const QoSInitialization& qos_initialization =
                             QoSInitialization::from_rmw(rmw_qos_profile_sensor_data))
      : QoS(qos_initialization, rmw_qos_profile_sensor_data) {}
};
class ParametersQoS : public QoS {
public:
  explicit ParametersQoS(const QoSInitialization& qos_initialization =
                             QoSInitialization::from_rmw(rmw_qos_profile_parameters))
      : QoS(qos_initialization, rmw_qos_profile_parameters) {}
};
class ServicesQoS : public QoS {
public:
  explicit ServicesQoS(const QoSInitialization& qos_initialization =
                           QoSInitialization::from_rmw(rmw_qos_profile_services_default))
      : QoS(qos_initialization, rmw_qos_profile_services_default) {}
};
class SystemDefaultsQoS : public QoS {
public:
  explicit SystemDefaultsQoS(const QoSInitialization& qos_initialization =
                                 QoSInitialization::from_rmw(rmw_qos_profile_system_default))
      : QoS(qos_initialization, rmw_qos_profile_system_default) {}
};

}  // namespace rclcpp
