// The ROS part of a command line (`--ros-args ... [--]`), parsed as rcl does:
// remap rules and log levels are applied; flags rcl knows but the runtime does
// not implement are collected so that init can report them once.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rclcpp {
namespace detail {

enum RemapType : unsigned {
  kTopicRemap = 1U,
  kServiceRemap = 2U,
  kNodeNameRemap = 4U,
  kNamespaceRemap = 8U,
};

struct RemapRule {
  unsigned type{0};
  std::string node;  // applies to this node name only; empty: every node
  std::string match;
  std::string replacement;
};

struct Arguments {
  std::vector<RemapRule> remaps;
  int default_log_level{0};  // rcutils severities; 0 leaves the default alone
  std::vector<std::pair<std::string, int>> logger_levels;
  std::optional<bool> stdout_logs;
  std::vector<std::string> unsupported;  // known to rcl, not implemented here
  std::vector<std::string> unknown;      // inside --ros-args, unknown to rcl
};

// Throws exceptions::RCLError for a flag whose value rcl would refuse.
Arguments parse_arguments(const std::vector<std::string>& args);

// rcl's remapping: the node's own rules first, then the global ones; the
// first rule of the right type, node prefix and (expanded) match wins. `name`
// is already expanded; nothing when no rule applies.
std::optional<std::string> remap_name(const Arguments* local, const Arguments* global,
                                      unsigned type, const std::string& name,
                                      const std::string& node_name,
                                      const std::string& node_namespace);

// rcutils severity of a level name (case-insensitive), or nothing.
std::optional<int> severity_from_string(const std::string& level);

// Console logging state that --log-level and the stdout flags set.
void configure_logging(const Arguments& args);

}  // namespace detail
}  // namespace rclcpp
