#include "rclcpp/context.hpp"

#include <dds/dds.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "rclcpp/clock.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/rate.hpp"
#include "rclcpp/utilities.hpp"
#include "rmw/qos_profiles.h"
#include "rmw_dds_common/msg/participant_entities_info.hpp"
#include "ros2_runtime/dds_bridge.hpp"

namespace rclcpp {

Context::Context() = default;

Context::~Context() {
  shutdown("context destroyed");
  discovery_writer_.reset();
  if (participant_ > 0) {
    dds_delete(participant_);
  }
}

void Context::init(int argc, char const* const* argv, const InitOptions&) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (valid_.load()) {
    throw std::runtime_error("context is already initialized");
  }
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    args.emplace_back(argv[i]);
  }
  detail::Arguments parsed = detail::parse_arguments(args);
  if (!parsed.unknown.empty()) {
    throw exceptions::UnknownROSArgsError(std::move(parsed.unknown));
  }
  detail::configure_logging(parsed);
  if (!parsed.unsupported.empty()) {
    std::string list;
    for (const auto& a : parsed.unsupported) {
      list += (list.empty() ? "'" : ", '") + a + "'";
    }
    RCLCPP_WARN(get_logger("rclcpp"), "ROS arguments not supported by this runtime, ignored: %s",
                list.c_str());
  }
  global_arguments_ = std::move(parsed);
  domain_id_ = 0;
  // Nothing in the process changes its environment while nodes run.
  if (const char* env = std::getenv("ROS_DOMAIN_ID");  // NOLINT(concurrency-mt-unsafe)
      env != nullptr && *env != '\0') {
    char* end = nullptr;
    const long v = std::strtol(env, &end, 10);
    if (end == env || *end != '\0' || v < 0 || v > 232) {
      throw std::runtime_error(std::string("ROS_DOMAIN_ID is not a valid domain id: ") + env);
    }
    domain_id_ = static_cast<size_t>(v);
  }
  {
    std::lock_guard<std::mutex> graph_lock(graph_mutex_);
    discovery_writer_.reset();
    graph_.clear();
  }
  if (participant_ > 0) {
    // Re-initialised after a shutdown: the old participant and everything on
    // it go away.
    dds_delete(participant_);
    participant_ = 0;
  }
  const std::string enclave = ros2_runtime::enclave_from_arguments(argc, argv);
  const ros2_runtime::SecurityConfig security = ros2_runtime::security_from_environment(enclave);
  if (!security.permissive_reason.empty()) {
    // Permissive: rcl runs without security then, and says so.
    std::fprintf(stderr, "[ros2_runtime] security disabled (Permissive): %s\n",
                 security.permissive_reason.c_str());
  }
  participant_ =
      ros2_runtime::create_participant(static_cast<uint32_t>(domain_id_), enclave, security);
  shutdown_reason_.clear();
  valid_.store(true);
}

void Context::graph_add_node(const void* node, const std::string& ns, const std::string& name) {
  std::lock_guard<std::mutex> lock(graph_mutex_);
  graph_.push_back(GraphNode{node, ns, name, {}, {}});
  publish_graph_locked();
}

void Context::graph_remove_node(const void* node) {
  std::lock_guard<std::mutex> lock(graph_mutex_);
  for (auto it = graph_.begin(); it != graph_.end(); ++it) {
    if (it->key == node) {
      graph_.erase(it);
      publish_graph_locked();
      return;
    }
  }
}

void Context::graph_add_endpoint(const void* node, const Gid& gid, bool is_reader) {
  std::lock_guard<std::mutex> lock(graph_mutex_);
  for (auto& n : graph_) {
    if (n.key == node) {
      (is_reader ? n.readers : n.writers).push_back(gid);
      publish_graph_locked();
      return;
    }
  }
}

void Context::graph_remove_endpoint(const Gid& gid) {
  std::lock_guard<std::mutex> lock(graph_mutex_);
  bool changed = false;
  for (auto& n : graph_) {
    for (auto* v : {&n.readers, &n.writers}) {
      const auto before = v->size();
      v->erase(std::remove(v->begin(), v->end(), gid), v->end());
      changed = changed || v->size() != before;
    }
  }
  if (changed) {
    publish_graph_locked();
  }
}

void Context::publish_graph_locked() {
  if (!valid_.load() || participant_ <= 0) {
    return;
  }
  using rmw_dds_common::msg::ParticipantEntitiesInfo;
  try {
    if (!discovery_writer_) {
      rmw_qos_profile_t qos = rmw_qos_profile_default;
      qos.depth = 1;
      qos.durability = RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL;
      discovery_writer_ = std::make_unique<ros2_runtime::DdsWriter>(
          participant_, "ros_discovery_info",
          ros2_runtime::message_type_support<ParticipantEntitiesInfo>(), qos);
    }
  } catch (const std::exception& e) {
    // Tools cannot list our nodes then; topics and services still work.
    std::fprintf(stderr, "[ros2_runtime] no ros_discovery_info writer: %s\n", e.what());
    return;
  }
  ParticipantEntitiesInfo info;
  info.gid.data = ros2_runtime::entity_gid(participant_);
  for (const auto& n : graph_) {
    rmw_dds_common::msg::NodeEntitiesInfo ni;
    ni.node_namespace = n.ns;
    ni.node_name = n.name;
    for (const auto& g : n.readers) {
      rmw_dds_common::msg::Gid gid;
      gid.data = g;
      ni.reader_gid_seq.push_back(gid);
    }
    for (const auto& g : n.writers) {
      rmw_dds_common::msg::Gid gid;
      gid.data = g;
      ni.writer_gid_seq.push_back(gid);
    }
    info.node_entities_info_seq.push_back(std::move(ni));
  }
  discovery_writer_->write(&info);
}

detail::Arguments Context::global_arguments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return global_arguments_;
}

int32_t Context::participant() const {
  if (participant_ <= 0) {
    throw std::runtime_error("rclcpp context is not initialized (call rclcpp::init first)");
  }
  return participant_;
}

bool Context::shutdown(const std::string& reason) {
  std::vector<OnShutdownCallback> callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_.load()) {
      return false;
    }
    valid_.store(false);
    shutdown_reason_ = reason;
    callbacks.swap(on_shutdown_);
    ++generation_;
  }
  cv_.notify_all();
  for (auto& cb : callbacks) {
    cb();
  }
  return true;
}

std::string Context::shutdown_reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_reason_;
}

Context::OnShutdownCallback Context::on_shutdown(OnShutdownCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  on_shutdown_.push_back(callback);
  return callback;
}

uint64_t Context::work_generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void Context::notify_work() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  cv_.notify_all();
}

bool Context::wait_for_work(uint64_t seen, std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_until(lock, until, [&] { return generation_ != seen || !valid_.load(); });
}

bool Context::sleep_until(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_until(lock, until, [&] { return !valid_.load(); });
  return valid_.load();
}

// ---------------------------------------------------------------- globals

namespace contexts {
Context::SharedPtr get_global_default_context() {
  static Context::SharedPtr ctx = std::make_shared<Context>();
  return ctx;
}
}  // namespace contexts

namespace {

// Signals arrive on a self-pipe; a watcher thread does the actual shutdown,
// which is not async-signal-safe.
int g_signal_pipe[2] = {-1, -1};
std::once_flag g_watcher_once;
struct sigaction g_old_int {};
struct sigaction g_old_term {};
bool g_installed = false;

void on_signal(int signo) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(signo);
  if (g_signal_pipe[1] >= 0) {
    [[maybe_unused]] ssize_t r = ::write(g_signal_pipe[1], &b, 1);
  }
  errno = saved;
}

void start_watcher() {
  std::call_once(g_watcher_once, [] {
    if (::pipe(g_signal_pipe) != 0) {
      return;
    }
    ::fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK);
    std::thread([] {
      for (;;) {
        unsigned char b = 0;
        const ssize_t r = ::read(g_signal_pipe[0], &b, 1);
        if (r == 1) {
          contexts::get_global_default_context()->shutdown("signal");
        } else if (r < 0 && errno != EINTR) {
          return;
        }
      }
    }).detach();
  });
}

}  // namespace

bool install_signal_handlers(SignalHandlerOptions options) {
  if (g_installed || options == SignalHandlerOptions::None) {
    return false;
  }
  start_watcher();
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigInt) {
    sigaction(SIGINT, &sa, &g_old_int);
  }
  if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigTerm) {
    sigaction(SIGTERM, &sa, &g_old_term);
  }
  g_installed = true;
  return true;
}

bool uninstall_signal_handlers() {
  if (!g_installed) {
    return false;
  }
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
  g_installed = false;
  return true;
}

void init(int argc, char const* const argv[], const InitOptions& init_options,
          SignalHandlerOptions signal_handler_options) {
  auto ctx = contexts::get_global_default_context();
  try {
    ctx->init(argc, argv, init_options);
  } catch (const ros2_runtime::SecurityError& e) {
    // A process that was told to run secured must not run otherwise.
    std::fprintf(stderr, "[ros2_runtime] security: %s\n", e.what());
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): start-up, before any thread of ours
  }
  if (init_options.shutdown_on_signal) {
    install_signal_handlers(signal_handler_options);
  }
}

bool ok(Context::SharedPtr context) {
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->is_valid();
}

bool shutdown(Context::SharedPtr context, const std::string& reason) {
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->shutdown(reason);
}

void on_shutdown(std::function<void()> callback, Context::SharedPtr context) {
  if (!context) {
    context = contexts::get_global_default_context();
  }
  context->on_shutdown(std::move(callback));
}

bool sleep_for(const std::chrono::nanoseconds& nanoseconds, Context::SharedPtr context) {
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->sleep_until(std::chrono::steady_clock::now() + nanoseconds);
}

std::vector<std::string> remove_ros_arguments(int argc, char const* const argv[]) {
  std::vector<std::string> out;
  bool in_ros = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ros-args") {
      in_ros = true;
    } else if (in_ros && a == "--") {
      in_ros = false;
    } else if (!in_ros) {
      out.push_back(a);
    }
  }
  return out;
}

bool Clock::sleep_until(Time until, std::shared_ptr<Context> context) {
  if (!context) {
    context = contexts::get_global_default_context();
  }
  const auto left = until - now();
  return context->sleep_until(std::chrono::steady_clock::now() +
                              std::chrono::nanoseconds(left.nanoseconds()));
}

namespace detail {
bool sleep_steady_until(std::chrono::steady_clock::time_point until) {
  auto ctx = contexts::get_global_default_context();
  if (!ctx->is_valid()) {
    // Not initialised (or already down): a plain sleep keeps loops paced.
    std::this_thread::sleep_until(until);
    return false;
  }
  return ctx->sleep_until(until);
}
bool sleep_system_until(std::chrono::system_clock::time_point until) {
  return sleep_steady_until(std::chrono::steady_clock::now() +
                            (until - std::chrono::system_clock::now()));
}
}  // namespace detail

}  // namespace rclcpp
