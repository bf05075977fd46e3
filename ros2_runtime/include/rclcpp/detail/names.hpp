// ROS name rules: node names, namespaces, topic and service names, and how a
// relative or private name resolves against a node.
#pragma once

#include <string>

namespace rclcpp {
namespace detail {

// Throws InvalidNodeNameError.
void validate_node_name(const std::string& name);
// Returns the absolute form ("" -> "/", "a/b" -> "/a/b"); throws
// InvalidNamespaceError.
std::string normalize_namespace(const std::string& ns);
// "/abs" stays, "rel" goes under the namespace, "~/x" under the node.
// Throws InvalidTopicNameError (or InvalidServiceNameError for services).
std::string resolve_name(const std::string& name, const std::string& node_name,
                         const std::string& node_namespace, bool is_service);

}  // namespace detail
}  // namespace rclcpp
