#include "ros2_runtime/security.hpp"

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <dds/dds.h>

namespace ros2_runtime {

namespace {

namespace fs = std::filesystem;

std::string env_or_empty(const char* name) {
  // Read once, by rclcpp::init, before the process starts DDS threads.
  const char* v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return v == nullptr ? std::string() : std::string(v);
}

// One file per property; the same names rmw_dds_common looks for (PEM only:
// PKCS#11 URIs are not supported here).
struct RequiredFile {
  const char* property;
  const char* file;
};
constexpr std::array<RequiredFile, 6> kRequiredFiles{{
    {"dds.sec.auth.identity_ca", "identity_ca.cert.pem"},
    {"dds.sec.auth.identity_certificate", "cert.pem"},
    {"dds.sec.auth.private_key", "key.pem"},
    {"dds.sec.access.permissions_ca", "permissions_ca.cert.pem"},
    {"dds.sec.access.governance", "governance.p7s"},
    {"dds.sec.access.permissions", "permissions.p7s"},
}};

// Debian keeps Cyclone's plugins in a private folder beside libddsc, where
// dlopen of the bare name would not look; elsewhere the bare name is what
// rmw_cyclonedds passes.
std::string plugin_library(const char* name) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&dds_create_participant), &info) != 0 &&
      info.dli_fname != nullptr) {
    const fs::path dir = fs::path(info.dli_fname).parent_path();
    for (const char* sub : {"libddsc0debian", "."}) {
      const fs::path p = dir / sub / (std::string("lib") + name + ".so");
      std::error_code ec;
      if (fs::is_regular_file(p, ec)) {
        return p.lexically_normal().string();
      }
    }
  }
  return name;
}

// The folder rcl picks: <keystore>/enclaves for "/", else
// <keystore>/enclaves/<enclave without its leading '/'>.
fs::path enclave_folder(const std::string& keystore, const std::string& enclave) {
  fs::path dir = fs::path(keystore) / "enclaves";
  if (enclave != "/") {
    dir /= enclave.substr(enclave.front() == '/' ? 1 : 0);
  }
  return dir;
}

}  // namespace

SecurityConfig security_from_environment(const std::string& enclave) {
  SecurityConfig cfg;
  if (env_or_empty("ROS_SECURITY_ENABLE") != "true") {
    return cfg;
  }
  cfg.enforce = env_or_empty("ROS_SECURITY_STRATEGY") == "Enforce";
  auto refuse = [&cfg](const std::string& why) {
    if (cfg.enforce) {
      throw SecurityError("ROS_SECURITY_STRATEGY=Enforce: " + why);
    }
    cfg.permissive_reason = why;
    return cfg;
  };

  const std::string keystore = env_or_empty("ROS_SECURITY_KEYSTORE");
  if (keystore.empty()) {
    return refuse("ROS_SECURITY_KEYSTORE is not set");
  }
  const std::string override_name = env_or_empty("ROS_SECURITY_ENCLAVE_OVERRIDE");
  const std::string name = override_name.empty() ? enclave : override_name;
  if (name.empty()) {
    return refuse("the enclave name is empty");
  }
  const fs::path dir = enclave_folder(keystore, name);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    return refuse("enclave folder " + dir.string() + " (enclave " + name +
                  ") does not exist in keystore " + keystore);
  }
  cfg.enclave_dir = dir.string();

  std::vector<std::pair<std::string, std::string>> props;
  for (const auto& f : kRequiredFiles) {
    const fs::path p = dir / f.file;
    if (!fs::is_regular_file(p, ec)) {
      return refuse("security file " + p.string() + " is missing");
    }
    props.emplace_back(f.property, "file:" + p.generic_string());
  }
  props.emplace_back("dds.sec.auth.library.path", plugin_library("dds_security_auth"));
  props.emplace_back("dds.sec.auth.library.init", "init_authentication");
  props.emplace_back("dds.sec.auth.library.finalize", "finalize_authentication");
  props.emplace_back("dds.sec.crypto.library.path", plugin_library("dds_security_crypto"));
  props.emplace_back("dds.sec.crypto.library.init", "init_crypto");
  props.emplace_back("dds.sec.crypto.library.finalize", "finalize_crypto");
  props.emplace_back("dds.sec.access.library.path", plugin_library("dds_security_ac"));
  props.emplace_back("dds.sec.access.library.init", "init_access_control");
  props.emplace_back("dds.sec.access.library.finalize", "finalize_access_control");
  const fs::path crl = dir / "crl.pem";
  if (fs::is_regular_file(crl, ec)) {
    props.emplace_back("org.eclipse.cyclonedds.sec.auth.crl", "file:" + crl.generic_string());
  }
  cfg.properties = std::move(props);
  cfg.enabled = true;
  return cfg;
}

std::string enclave_from_arguments(int argc, char const* const* argv) {
  std::string enclave = "/";
  bool in_ros = false;
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    const char* a = argv[i];
    if (a == nullptr) {
      break;
    }
    if (std::strcmp(a, "--ros-args") == 0) {
      in_ros = true;
    } else if (in_ros && std::strcmp(a, "--") == 0) {
      in_ros = false;
    } else if (in_ros && (std::strcmp(a, "--enclave") == 0 || std::strcmp(a, "-e") == 0) &&
               i + 1 < argc && argv[i + 1] != nullptr) {
      enclave = argv[++i];
    }
  }
  return enclave;
}

}  // namespace ros2_runtime
