// Typed access to the node's YAML configuration. Every failure names the file,
// the key and what was wrong, so start-up can end with one clear line.
#pragma once

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace moorwick {

class ConfigError : public std::runtime_error {
public:
  ConfigError(std::string file, std::string key, std::string problem);

  const std::string& file() const { return file_; }
  const std::string& key() const { return key_; }
  const std::string& problem() const { return problem_; }

private:
  std::string file_;
  std::string key_;
  std::string problem_;
};

namespace config_detail {

template <typename T>
struct TypeName {
  static const char* get() { return "value"; }
};
template <>
struct TypeName<bool> {
  static const char* get() { return "bool (true/false)"; }
};
template <>
struct TypeName<int> {
  static const char* get() { return "integer"; }
};
template <>
struct TypeName<unsigned int> {
  static const char* get() { return "non-negative integer"; }
};
template <>
struct TypeName<float> {
  static const char* get() { return "number"; }
};
template <>
struct TypeName<double> {
  static const char* get() { return "number"; }
};
template <>
struct TypeName<std::string> {
  static const char* get() { return "string"; }
};
template <>
struct TypeName<std::vector<int>> {
  static const char* get() { return "sequence of integers"; }
};
template <>
struct TypeName<std::vector<std::string>> {
  static const char* get() { return "sequence of strings"; }
};

std::string Describe(const YAML::Node& node);
std::string Join(const std::string& section, const std::string& key);

}  // namespace config_detail

// Loads a YAML file; unreadable or unparsable files raise ConfigError.
YAML::Node LoadConfigFile(const std::string& path);

// The mapping under `section` of a loaded file.
YAML::Node ConfigSection(const YAML::Node& root, const std::string& section,
                         const std::string& path);

namespace config_detail {

// `node` converted to T; `name` is the key as messages show it.
template <typename T>
T Convert(const YAML::Node& node, const std::string& name, const std::string& path) {
  if (!node.IsDefined() || node.IsNull()) {
    throw ConfigError(path, name, "missing");
  }
  try {
    return node.as<T>();
  } catch (const YAML::Exception&) {
    throw ConfigError(
        path, name,
        std::string("wrong type: expected ") + TypeName<T>::get() + ", found " + Describe(node));
  }
}

}  // namespace config_detail

// The value of `key` in the mapping `map` (found under `section` of `path`).
template <typename T>
T ReadConfig(const YAML::Node& map, const std::string& key, const std::string& path,
             const std::string& section = "") {
  return config_detail::Convert<T>(map[key], config_detail::Join(section, key), path);
}

// The first `count` elements of the sequence `key`, each converted to T; a
// bad element is named key[i]. Longer sequences are accepted.
template <typename T>
std::vector<T> ReadConfigSequence(const YAML::Node& map, const std::string& key, std::size_t count,
                                  const std::string& path, const std::string& section = "") {
  const YAML::Node node = map[key];
  const std::string name = config_detail::Join(section, key);
  if (!node.IsDefined() || node.IsNull()) {
    throw ConfigError(path, name, "missing");
  }
  if (!node.IsSequence() || node.size() < count) {
    throw ConfigError(path, name,
                      "wrong type: expected a sequence of " + std::to_string(count) + " (" +
                          config_detail::TypeName<T>::get() + "), found " +
                          config_detail::Describe(node));
  }
  std::vector<T> values;
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    values.push_back(
        config_detail::Convert<T>(node[i], name + "[" + std::to_string(i) + "]", path));
  }
  return values;
}

// Runs one loading step; any YAML exception escaping it (from code that uses
// yaml-cpp directly) is reported as a ConfigError naming the file.
template <typename F>
void WithConfigFile(const std::string& path, F&& step) {
  try {
    std::forward<F>(step)();
  } catch (const ConfigError&) {
    throw;
  } catch (const YAML::BadFile&) {
    throw ConfigError(path, "", "cannot be opened");
  } catch (const YAML::InvalidNode& e) {
    // yaml-cpp names the key it could not find in this message.
    throw ConfigError(path, "", std::string("missing key (") + e.msg + ")");
  } catch (const YAML::BadConversion& e) {
    const std::string where =
        e.mark.is_null() ? std::string() : " at line " + std::to_string(e.mark.line + 1);
    throw ConfigError(path, "", "wrong type" + where + ": " + e.msg);
  } catch (const YAML::Exception& e) {
    throw ConfigError(path, "", e.what());
  }
}

}  // namespace moorwick
