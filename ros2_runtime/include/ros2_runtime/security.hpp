// DDS Security the way rcl and rmw_cyclonedds (Humble) set it up: the
// environment chooses an enclave of an SROS2 keystore, and the participant
// gets the enclave's files as dds.sec.* properties.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ros2_runtime {

// A security set-up that cannot be honoured (Enforce with missing files, or
// files Cyclone refuses). The message is one line naming the file or folder.
class SecurityError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct SecurityConfig {
  // False: create the participant exactly as without security.
  bool enabled{false};
  bool enforce{false};
  // The enclave's folder (empty when none was found).
  std::string enclave_dir;
  // dds.sec.* participant properties, in the order rmw_cyclonedds sets them.
  std::vector<std::pair<std::string, std::string>> properties;
  // Why security is off although ROS_SECURITY_ENABLE=true (Permissive only).
  std::string permissive_reason;
};

// Reads ROS_SECURITY_ENABLE ("true"), ROS_SECURITY_STRATEGY ("Enforce", any
// other value is permissive), ROS_SECURITY_KEYSTORE and
// ROS_SECURITY_ENCLAVE_OVERRIDE (else `enclave`). Throws SecurityError only
// under Enforce.
SecurityConfig security_from_environment(const std::string& enclave);

// The enclave given by `--ros-args ... --enclave NAME` (or `-e NAME`), "/"
// when there is none, as rcl reads it.
std::string enclave_from_arguments(int argc, char const* const* argv);

}  // namespace ros2_runtime
