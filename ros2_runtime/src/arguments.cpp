#include "rclcpp/detail/arguments.hpp"

#include <cctype>

#include "rclcpp/detail/names.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"

namespace rclcpp {
namespace detail {
namespace {

constexpr int kWarn = 30;

bool is_token(const std::string& s) {
  if (s.empty()) {
    return false;
  }
  for (char c : s) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_') {
      return false;
    }
  }
  return true;
}

// A name on either side of a rule: an optional "/" or "~/", then tokens or
// "{substitutions}" joined by single slashes. Wildcards are refused, as rcl
// does not implement them.
bool is_rule_name(const std::string& s, bool allow_trailing_slash) {
  size_t i = 0;
  if (s.compare(0, 2, "~/") == 0) {
    i = 2;
  } else if (!s.empty() && s[0] == '/') {
    i = 1;
  }
  if (i == s.size()) {
    return allow_trailing_slash && s == "/";
  }
  for (;;) {
    const size_t end = s.find('/', i);
    std::string tok = s.substr(i, end == std::string::npos ? std::string::npos : end - i);
    if (tok.size() >= 2 && tok.front() == '{' && tok.back() == '}') {
      tok = tok.substr(1, tok.size() - 2);
    }
    if (!is_token(tok)) {
      return false;
    }
    if (end == std::string::npos || (allow_trailing_slash && end + 1 == s.size())) {
      return true;
    }
    i = end + 1;
  }
}

// One rule, `[node:][rostopic://|rosservice://]match:=replacement`, or
// `[node:]__ns:=/ns`, `[node:]__node:=name` (`__name` too).
std::optional<RemapRule> parse_remap_rule(const std::string& arg) {
  const size_t sep = arg.find(":=");
  if (sep == std::string::npos) {
    return std::nullopt;
  }
  RemapRule rule;
  std::string lhs = arg.substr(0, sep);
  rule.replacement = arg.substr(sep + 2);
  const size_t colon = lhs.find(':');
  if (colon != std::string::npos && lhs.compare(colon, 3, "://") != 0 &&
      is_token(lhs.substr(0, colon))) {
    rule.node = lhs.substr(0, colon);
    lhs = lhs.substr(colon + 1);
  }
  if (lhs == "__ns") {
    if (rule.replacement.empty() || rule.replacement[0] != '/' ||
        !is_rule_name(rule.replacement, true)) {
      log_string(
          kWarn, "rcl",
          "Namespace not remapped to a fully qualified name (found: " + rule.replacement + ")");
      return std::nullopt;
    }
    rule.type = kNamespaceRemap;
    return rule;
  }
  if (lhs == "__node" || lhs == "__name") {
    if (!is_token(rule.replacement)) {
      log_string(kWarn, "rcl",
                 "Node name not remapped to invalid name: '" + rule.replacement + "'");
      return std::nullopt;
    }
    rule.type = kNodeNameRemap;
    return rule;
  }
  rule.type = kTopicRemap | kServiceRemap;
  for (const auto& [scheme, type] : {std::pair<std::string, unsigned>{"rostopic://", kTopicRemap},
                                     {"rosservice://", kServiceRemap}}) {
    if (lhs.compare(0, scheme.size(), scheme) == 0) {
      rule.type = type;
      lhs = lhs.substr(scheme.size());
    }
  }
  if (!is_rule_name(lhs, false) || !is_rule_name(rule.replacement, false)) {
    return std::nullopt;
  }
  rule.match = lhs;
  return rule;
}

[[noreturn]] void refuse(const std::string& what) {
  throw exceptions::RCLError("failed to initialize rcl: " + what);
}

// `--log-level LEVEL` or `--log-level logger.name:=LEVEL`.
bool parse_log_level(const std::string& value, Arguments& out) {
  const size_t sep = value.find(":=");
  if (sep == std::string::npos) {
    const auto level = severity_from_string(value);
    if (level) {
      out.default_log_level = *level;
    }
    return level.has_value();
  }
  const std::string name = value.substr(0, sep);
  const auto level = severity_from_string(value.substr(sep + 2));
  if (name.empty() || !level) {
    return false;
  }
  out.logger_levels.emplace_back(name, *level);
  return true;
}

}  // namespace

std::optional<int> severity_from_string(const std::string& level) {
  std::string upper;
  for (char c : level) {
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  static const std::pair<const char*, int> kNames[] = {{"UNSET", 0}, {"DEBUG", 10}, {"INFO", 20},
                                                       {"WARN", 30}, {"ERROR", 40}, {"FATAL", 50}};
  for (const auto& [name, value] : kNames) {
    if (upper == name) {
      return value;
    }
  }
  return std::nullopt;
}

Arguments parse_arguments(const std::vector<std::string>& args) {
  Arguments out;
  bool in_ros = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!in_ros) {
      if (a == "--ros-args") {
        in_ros = true;
      } else if (auto rule = parse_remap_rule(a)) {
        // rcl still takes a bare rule outside --ros-args, with a warning.
        std::string text = "Found remap rule '";
        text.append(a).append("'. This syntax is deprecated. Use '--ros-args --remap ");
        text.append(a).append("' instead.");
        log_string(kWarn, "rcl", text);
        out.remaps.push_back(std::move(*rule));
      }
      continue;
    }
    if (a == "--ros-args") {
      continue;
    }
    if (a == "--") {
      in_ros = false;
      continue;
    }
    const bool has_value = i + 1 < args.size();
    if (a == "-r" || a == "--remap") {
      if (!has_value) {
        refuse("Couldn't parse trailing " + a + " flag. No remap rule found.");
      }
      auto rule = parse_remap_rule(args[i + 1]);
      if (!rule) {
        refuse("Couldn't parse remap rule: '" + a + " " + args[i + 1] + "'.");
      }
      out.remaps.push_back(std::move(*rule));
      ++i;
    } else if (a == "--log-level") {
      if (!has_value) {
        refuse("Couldn't parse trailing log level flag: '" + a + "'. No log level provided.");
      }
      if (!parse_log_level(args[i + 1], out)) {
        refuse("Couldn't parse log level: '" + a + " " + args[i + 1] +
               "'. Error: Argument does not use a valid severity level");
      }
      ++i;
    } else if (a == "-p" || a == "--param" || a == "--params-file" || a == "-e" ||
               a == "--enclave" || a == "--log-config-file") {
      if (!has_value) {
        refuse("Couldn't parse trailing " + a + " flag. No value provided.");
      }
      out.unsupported.push_back(a + " " + args[i + 1]);
      ++i;
    } else if (a == "--enable-stdout-logs" || a == "--disable-stdout-logs") {
      out.stdout_logs = a == "--enable-stdout-logs";
    } else if (a == "--disable-rosout-logs" || a == "--disable-external-lib-logs") {
      // Already so: the runtime has no rosout and writes no log files.
    } else if (a == "--enable-rosout-logs" || a == "--enable-external-lib-logs") {
      out.unsupported.push_back(a);
    } else {
      out.unknown.push_back(a);
    }
  }
  return out;
}

std::optional<std::string> remap_name(const Arguments* local, const Arguments* global,
                                      unsigned type, const std::string& name,
                                      const std::string& node_name,
                                      const std::string& node_namespace) {
  const bool is_service = (type & kServiceRemap) != 0;
  for (const Arguments* args : {local, global}) {
    if (args == nullptr) {
      continue;
    }
    for (const RemapRule& rule : args->remaps) {
      if ((rule.type & type) == 0 || (!rule.node.empty() && rule.node != node_name)) {
        continue;
      }
      if ((type & (kTopicRemap | kServiceRemap)) == 0) {
        return rule.replacement;
      }
      std::string match;
      try {
        match = resolve_name(rule.match, node_name, node_namespace, is_service);
      } catch (const std::invalid_argument&) {
        continue;  // rcl skips a rule whose match does not expand here
      }
      if (match == name) {
        return resolve_name(rule.replacement, node_name, node_namespace, is_service);
      }
    }
  }
  return std::nullopt;
}

}  // namespace detail
}  // namespace rclcpp
