#include "rclcpp/node.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "rclcpp/detail/names.hpp"
#include "rclcpp/exceptions.hpp"

namespace rclcpp {
namespace detail {
namespace {

bool is_alnum_or_underscore(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Checks "/tok/tok" tokens; returns the index of the first fault or npos.
size_t check_tokens(const std::string& s, std::string& why) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '/') {
      if (i + 1 < s.size() && s[i + 1] == '/') {
        why = "must not contain repeated forward slashes";
        return i + 1;
      }
      if (i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) != 0) {
        why = "must not have a token that starts with a number";
        return i + 1;
      }
      continue;
    }
    if (!is_alnum_or_underscore(c)) {
      why = "must not contain characters other than alphanumerics, '_', or '/'";
      return i;
    }
  }
  return std::string::npos;
}

}  // namespace

void validate_node_name(const std::string& name) {
  if (name.empty()) {
    throw exceptions::InvalidNodeNameError(name, "node name must not be empty", 0);
  }
  if (name.size() > 255) {
    throw exceptions::InvalidNodeNameError(name, "node name is too long", 255);
  }
  if (std::isdigit(static_cast<unsigned char>(name[0])) != 0) {
    throw exceptions::InvalidNodeNameError(name, "node name must not start with a number", 0);
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (!is_alnum_or_underscore(name[i])) {
      throw exceptions::InvalidNodeNameError(
          name, "node name must not contain characters other than alphanumerics or '_'", i);
    }
  }
}

std::string normalize_namespace(const std::string& ns_in) {
  if (ns_in.empty()) {
    return "/";
  }
  std::string ns = ns_in[0] == '/' ? ns_in : "/" + ns_in;
  if (ns.size() > 1 && ns.back() == '/') {
    throw exceptions::InvalidNamespaceError(ns, "namespace must not end with a forward slash",
                                            ns.size() - 1);
  }
  std::string why;
  const size_t bad = check_tokens(ns, why);
  if (bad != std::string::npos) {
    throw exceptions::InvalidNamespaceError(ns, "namespace " + why, bad);
  }
  return ns;
}

std::string resolve_name(const std::string& name, const std::string& node_name,
                         const std::string& node_namespace, bool is_service) {
  auto fail = [&](const std::string& what, size_t index) {
    const std::string kind = is_service ? "service name " : "topic name ";
    if (is_service) {
      throw exceptions::InvalidServiceNameError(name, kind + what, index);
    }
    throw exceptions::InvalidTopicNameError(name, kind + what, index);
  };
  if (name.empty()) {
    fail("must not be empty", 0);
  }
  const std::string ns_prefix = node_namespace == "/" ? "/" : node_namespace + "/";
  std::string expanded = name;
  // Substitutions as rcl knows them.
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{node}", node_name},
                                   {"{ns}", node_namespace},
                                   {"{namespace}", node_namespace}}) {
    size_t pos;
    while ((pos = expanded.find(key)) != std::string::npos) {
      expanded.replace(pos, key.size(), value);
    }
  }
  if (expanded.find('{') != std::string::npos || expanded.find('}') != std::string::npos) {
    fail("contains an unknown substitution", expanded.find_first_of("{}"));
  }
  std::string fq;
  if (expanded[0] == '~') {
    if (expanded.size() == 1) {
      fq = ns_prefix + node_name;
    } else if (expanded[1] == '/') {
      fq = ns_prefix + node_name + expanded.substr(1);
    } else {
      fail("must not have '~' except as the first character followed by '/'", 1);
    }
  } else if (expanded[0] == '/') {
    fq = expanded;
  } else {
    fq = ns_prefix + expanded;
  }
  // The "//" of "/ns/" + "/x" cannot occur: only "~" and relative names get
  // a prefix, and check_tokens catches any doubled slash left.
  if (fq.size() > 1 && fq.back() == '/') {
    fail("must not end with a forward slash", name.size() - 1);
  }
  if (fq == "/") {
    fail("must not be just a forward slash", 0);
  }
  std::string why;
  const size_t bad = check_tokens(fq, why);
  if (bad != std::string::npos) {
    // Report the position in the name as given when it is still there.
    fail(why, std::min(bad, name.size() - 1));
  }
  return fq;
}

}  // namespace detail

Node::Node(const std::string& node_name, const NodeOptions& options)
    : Node(node_name, "", options) {
}

namespace {
// rcl's logger name for a node: its namespace and name joined with dots.
std::string node_logger_name(const std::string& ns, const std::string& name) {
  std::string out;
  for (char c : ns.substr(1)) {
    out.push_back(c == '/' ? '.' : c);
  }
  return out.empty() ? name : out + "." + name;
}
}  // namespace

Node::Node(const std::string& node_name, const std::string& namespace_, const NodeOptions& options)
    : context_(options.context() ? options.context() : contexts::get_global_default_context()),
      options_(options),
      clock_(std::make_shared<Clock>(RCL_ROS_TIME)) {
  if (!context_->is_valid()) {
    throw exceptions::RCLError("the context is not initialized (call rclcpp::init first)");
  }
  local_arguments_ = detail::parse_arguments(options.arguments());
  if (!local_arguments_.unknown.empty()) {
    throw exceptions::UnknownROSArgsError(std::move(local_arguments_.unknown));
  }
  if (options.use_global_arguments()) {
    global_arguments_ = context_->global_arguments();
  }
  const detail::Arguments* global = global_arguments_ ? &*global_arguments_ : nullptr;
  // As rcl: the node name first, then the namespace by rules for that name.
  name_ = detail::remap_name(&local_arguments_, global, detail::kNodeNameRemap, "", node_name, "")
              .value_or(node_name);
  detail::validate_node_name(name_);
  this->namespace_ = detail::normalize_namespace(
      detail::remap_name(&local_arguments_, global, detail::kNamespaceRemap, "", name_, "")
          .value_or(namespace_));
  fq_name_ = this->namespace_ == "/" ? "/" + name_ : this->namespace_ + "/" + name_;
  logger_ = Logger(node_logger_name(this->namespace_, name_));
  default_group_ = std::make_shared<CallbackGroup>(CallbackGroupType::MutuallyExclusive, true);
  groups_.push_back(default_group_);
  context_->graph_add_node(this, this->namespace_, name_);
}

Node::~Node() {
  context_->graph_remove_node(this);
}

std::string Node::resolve_topic_name(const std::string& name) const {
  const std::string expanded = detail::resolve_name(name, name_, namespace_, false);
  return detail::remap_name(&local_arguments_, global_arguments_ ? &*global_arguments_ : nullptr,
                            detail::kTopicRemap, expanded, name_, namespace_)
      .value_or(expanded);
}

std::string Node::resolve_service_name(const std::string& name) const {
  const std::string expanded = detail::resolve_name(name, name_, namespace_, true);
  return detail::remap_name(&local_arguments_, global_arguments_ ? &*global_arguments_ : nullptr,
                            detail::kServiceRemap, expanded, name_, namespace_)
      .value_or(expanded);
}

CallbackGroup::SharedPtr Node::create_callback_group(CallbackGroupType group_type,
                                                     bool automatically_add_to_executor_with_node) {
  auto g = std::make_shared<CallbackGroup>(group_type, automatically_add_to_executor_with_node);
  {
    std::lock_guard<std::mutex> lock(groups_mutex_);
    groups_.push_back(g);
  }
  context_->notify_work();
  return g;
}

void Node::for_each_callback_group(const std::function<void(const CallbackGroup::SharedPtr&)>& fn) {
  std::vector<CallbackGroup::SharedPtr> live;
  {
    std::lock_guard<std::mutex> lock(groups_mutex_);
    for (auto it = groups_.begin(); it != groups_.end();) {
      if (auto g = it->lock()) {
        live.push_back(std::move(g));
        ++it;
      } else {
        it = groups_.erase(it);
      }
    }
  }
  for (const auto& g : live) {
    fn(g);
  }
}

bool Node::callback_group_in_node(const CallbackGroup::SharedPtr& group) {
  std::lock_guard<std::mutex> lock(groups_mutex_);
  return std::any_of(groups_.begin(), groups_.end(),
                     [&](const CallbackGroup::WeakPtr& w) { return w.lock() == group; });
}

void Node::register_entity(const std::shared_ptr<detail::ExecutableEntity>& entity,
                           CallbackGroup::SharedPtr group) {
  if (!group) {
    group = default_group_;
  } else if (!callback_group_in_node(group)) {
    throw std::runtime_error("Cannot create an entity in a callback group of another node");
  }
  group->add_entity(entity);
  context_->notify_work();
}

}  // namespace rclcpp
