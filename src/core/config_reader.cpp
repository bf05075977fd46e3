#include "moorwick_arm_trash_detect/core/config_reader.hpp"

#include <fstream>

namespace moorwick {

namespace {
std::string Compose(const std::string& file, const std::string& key, const std::string& problem) {
  std::string text = "configuration file " + file;
  if (!key.empty()) {
    text += ", key '" + key + "'";
  }
  return text + ": " + problem;
}
}  // namespace

ConfigError::ConfigError(std::string file, std::string key, std::string problem)
    : std::runtime_error(Compose(file, key, problem)),
      file_(std::move(file)),
      key_(std::move(key)),
      problem_(std::move(problem)) {
}

namespace config_detail {

std::string Describe(const YAML::Node& node) {
  std::string where;
  if (node.Mark().line >= 0) {
    where = " (line " + std::to_string(node.Mark().line + 1) + ")";
  }
  switch (node.Type()) {
    case YAML::NodeType::Scalar:
      return "'" + node.Scalar() + "'" + where;
    case YAML::NodeType::Sequence:
      return "a sequence" + where;
    case YAML::NodeType::Map:
      return "a mapping" + where;
    default:
      return "nothing" + where;
  }
}

std::string Join(const std::string& section, const std::string& key) {
  return section.empty() ? key : section + "." + key;
}

}  // namespace config_detail

YAML::Node LoadConfigFile(const std::string& path) {
  // yaml-cpp reports a missing file and an unreadable one alike; tell them apart.
  std::ifstream probe(path);
  if (!probe.is_open()) {
    throw ConfigError(path, "", "cannot be opened (missing or unreadable)");
  }
  try {
    return YAML::Load(probe);
  } catch (const YAML::ParserException& e) {
    throw ConfigError(path, "",
                      "not valid YAML at line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
}

YAML::Node ConfigSection(const YAML::Node& root, const std::string& section,
                         const std::string& path) {
  if (!root.IsMap()) {
    throw ConfigError(path, section, "missing (the file holds no mapping)");
  }
  const YAML::Node node = root[section];
  if (!node.IsDefined() || node.IsNull()) {
    throw ConfigError(path, section, "missing");
  }
  if (!node.IsMap()) {
    throw ConfigError(path, section,
                      "wrong type: expected a mapping, found " + config_detail::Describe(node));
  }
  return node;
}

}  // namespace moorwick
