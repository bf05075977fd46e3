// DDS Security end to end on loopback. This process is the secured node
// (Enforce, enclave /node): it serves /secure/detect and listens to
// /camera/image_raw and /tf. Peers run secure_peer with other credentials;
// what arrived is read from this process's own state.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros2_runtime/security.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/transform_listener.h"

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;
using namespace std::chrono_literals;
using moorwick_test::Process;
using moorwick_test::Replace;
using moorwick_test::WaitFor;

namespace {

const std::string kPeer = SECURE_PEER_PATH;
const std::string kScript = KEYSTORE_SCRIPT;
constexpr int kDomain = 150;                // secured runs (ctest sets ROS_DOMAIN_ID)
constexpr int kPlainDomain = 151;           // the unsecured control of the capture
const char kMarker[] = "MOORWICK-PIXELS!";  // secure_peer's image rows

int sh(const std::string& cmd) {
  return std::system(cmd.c_str());  // NOLINT(concurrency-mt-unsafe): the test's own thread
}

// Keystores shared by every test: `real` holds /node, /caller, /camera and
// /other (permissions for /other/topic only); `forged` holds /other's real
// identity with permissions signed by a CA of the intruder's own.
struct Keystores {
  std::string root, real, forged;
};

const Keystores& keystores() {
  static const Keystores ks = [] {
    Keystores k;
    char tmpl[] = "/tmp/moorwick_security_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      return k;
    }
    k.root = tmpl;
    k.real = k.root + "/keystore";
    k.forged = k.root + "/forged";
    const std::string s = "ROS_DOMAIN_ID=" + std::to_string(kDomain) + " " + kScript + " ";
    const std::string r = k.real + " ";
    const std::string f = k.forged + " ";
    const bool ok =
        sh(s + "init " + r) == 0 &&
        sh(s + "enclave " + r +
           "/node --serve /secure/detect --sub /camera/image_raw --sub /tf --sub /tf_static") ==
            0 &&
        sh(s + "enclave " + r + "/caller --call /secure/detect") == 0 &&
        sh(s + "enclave " + r + "/camera --pub /camera/image_raw --pub /tf") == 0 &&
        sh(s + "enclave " + r + "/other --pub /other/topic --sub /other/topic") == 0 &&
        sh(s + "init " + f) == 0 &&
        sh(s + "enclave " + f + "/other --pub /camera/image_raw --pub /tf --call /secure/detect") ==
            0 &&
        sh("cp " + k.real + "/enclaves/other/cert.pem " + k.real + "/enclaves/other/key.pem " +
           k.forged + "/enclaves/other/ && cp " + k.real + "/public/identity_ca.cert.pem " +
           k.forged + "/public/identity_ca.cert.pem") == 0;
    if (!ok) {
      k.real.clear();
    }
    return k;
  }();
  return ks;
}

class RemoveKeystores : public ::testing::Environment {
public:
  void TearDown() override {
    if (!keystores().root.empty()) {
      sh("rm -rf " + keystores().root);
    }
  }
};
[[maybe_unused]] ::testing::Environment* const kRemoveKeystores =
    ::testing::AddGlobalTestEnvironment(new RemoveKeystores);

// Environment assignments of a peer ("KEY=value", $K: the real keystore).
using Env = std::vector<std::string>;

Env plain(int domain) {
  return {"ROS_DOMAIN_ID=" + std::to_string(domain)};
}

Env enforce(const std::string& keystore, const std::string& enclave) {
  return {"ROS_DOMAIN_ID=" + std::to_string(kDomain), "ROS_SECURITY_ENABLE=true",
          "ROS_SECURITY_STRATEGY=Enforce", "ROS_SECURITY_KEYSTORE=" + keystore,
          "ROS_SECURITY_ENCLAVE_OVERRIDE=" + enclave};
}

Env real(const std::string& enclave) {
  return enforce(keystores().real, enclave);
}

// secure_peer under env(1): this process's ROS_SECURITY_* cleared, then `env`.
std::vector<std::string> peer(const Env& env, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/env"};
  for (const char* v : {"ENABLE", "STRATEGY", "KEYSTORE", "ENCLAVE_OVERRIDE"}) {
    argv.insert(argv.end(), {"-u", std::string("ROS_SECURITY_") + v});
  }
  for (const auto& e : env) {
    argv.push_back(Replace(e, "$K", keystores().real));
  }
  argv.push_back(kPeer);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    out.push_back(line);
  }
  return out;
}

// What a peer reported on stdout once a line starting with `last` came or it
// ended; a caller ends by itself, an injector is stopped with SIGINT.
struct PeerResult {
  int exit;
  std::vector<std::string> lines;
};

std::unique_ptr<Process> start_peer(const Env& env, const std::vector<std::string>& args) {
  return std::make_unique<Process>(peer(env, args), std::filesystem::path{}, Env{},
                                   /*merge_stderr=*/false);
}

PeerResult finish_peer(Process& p, const std::string& last) {
  WaitFor([&] { return !p.running() || ("\n" + p.log()).find("\n" + last) != std::string::npos; },
          60s);
  const int exit = p.wait_exit(2s);
  return {exit == -1 ? p.stop(30s) : exit, Lines(p.log())};
}

// UDP datagrams on lo to one domain's RTPS ports (7400 + 250 * domain + 0..249),
// searched for the image marker. Needs CAP_NET_RAW.
class LoopbackCapture {
public:
  explicit LoopbackCapture(int domain)
      : lo_(static_cast<uint16_t>(7400 + 250 * domain)), hi_(static_cast<uint16_t>(lo_ + 249)) {
    fd_ = ::socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    if (fd_ < 0) {
      return;
    }
    const int buf = 32 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof(buf));
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_IP);
    a.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    thread_ = std::thread([this] { run(); });
  }
  ~LoopbackCapture() { stop(); }
  bool ok() const { return fd_ >= 0; }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  std::size_t bytes() const { return bytes_; }
  std::size_t marked() const { return marked_; }

private:
  void run() {
    std::vector<unsigned char> pkt(70000);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) {
        continue;
      }
      const ssize_t n = ::recv(fd_, pkt.data(), pkt.size(), 0);
      if (n < static_cast<ssize_t>(sizeof(iphdr))) {
        continue;
      }
      iphdr ip{};
      std::memcpy(&ip, pkt.data(), sizeof(ip));
      const std::size_t ihl = ip.ihl * 4u;
      if (ip.protocol != IPPROTO_UDP || static_cast<std::size_t>(n) < ihl + sizeof(udphdr)) {
        continue;
      }
      udphdr udp{};
      std::memcpy(&udp, pkt.data() + ihl, sizeof(udp));
      const uint16_t port = ntohs(udp.dest);
      if (port < lo_ || port > hi_) {
        continue;
      }
      const unsigned char* payload = pkt.data() + ihl + sizeof(udphdr);
      const std::size_t len = static_cast<std::size_t>(n) - ihl - sizeof(udphdr);
      bytes_ += len;
      if (::memmem(payload, len, kMarker, sizeof(kMarker) - 1) != nullptr) {
        ++marked_;
      }
    }
  }

  uint16_t lo_, hi_;
  int fd_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> bytes_{0};
  std::atomic<std::size_t> marked_{0};
  std::thread thread_;
};

// The secured node: what reached it, per frame id.
struct NodeUnderTest {
  rclcpp::Node::SharedPtr node;
  rclcpp::Service<ArmTrashPose>::SharedPtr service;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr images;
  std::shared_ptr<tf2_ros::Buffer> tf;
  std::shared_ptr<tf2_ros::TransformListener> listener;
  std::unique_ptr<rclcpp::executors::MultiThreadedExecutor> exec;
  std::thread spin;
  std::mutex m;
  std::map<std::string, int> frames;
  std::atomic<int> calls{0};

  int frames_from(const std::string& tag) {
    std::lock_guard<std::mutex> lock(m);
    return frames.count(tag) != 0 ? frames[tag] : 0;
  }
};

class SecureDomainTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    const auto& ks = keystores();
    ASSERT_FALSE(ks.real.empty()) << "the keystore script failed";
    ::setenv("ROS_SECURITY_ENABLE", "true", 1);             // NOLINT(concurrency-mt-unsafe)
    ::setenv("ROS_SECURITY_STRATEGY", "Enforce", 1);        // NOLINT(concurrency-mt-unsafe)
    ::setenv("ROS_SECURITY_KEYSTORE", ks.real.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    ::setenv("ROS_SECURITY_ENCLAVE_OVERRIDE", "/node", 1);  // NOLINT(concurrency-mt-unsafe)
    rclcpp::init(0, nullptr);
    n_ = new NodeUnderTest;
    n_->node = rclcpp::Node::make_shared("node_under_test");
    n_->service = n_->node->create_service<ArmTrashPose>(
        "/secure/detect", [](const std::shared_ptr<ArmTrashPose::Request>& req,
                             const std::shared_ptr<ArmTrashPose::Response>& res) {
          ++n_->calls;
          res->error_code = req->cmd * 3 + 1;
        });
    n_->images = n_->node->create_subscription<sensor_msgs::msg::Image>(
        "/camera/image_raw", 10, [](const sensor_msgs::msg::Image::ConstSharedPtr& msg) {
          std::lock_guard<std::mutex> lock(n_->m);
          ++n_->frames[msg->header.frame_id];
        });
    n_->tf = std::make_shared<tf2_ros::Buffer>(n_->node->get_clock());
    n_->listener = std::make_shared<tf2_ros::TransformListener>(*n_->tf);
    n_->exec =
        std::make_unique<rclcpp::executors::MultiThreadedExecutor>(rclcpp::ExecutorOptions(), 2);
    n_->exec->add_node(n_->node);
    n_->spin = std::thread([] { n_->exec->spin(); });
  }
  static void TearDownTestSuite() {
    if (n_ != nullptr) {
      n_->exec->cancel();
      n_->spin.join();
      delete n_;
      n_ = nullptr;
    }
    rclcpp::shutdown();
  }
  static NodeUnderTest* n_;
};
NodeUnderTest* SecureDomainTest::n_ = nullptr;

TEST_F(SecureDomainTest, AuthenticatedCallerGetsAnswers) {
  const int before = n_->calls.load();
  const auto r = finish_peer(*start_peer(real("/caller"), {"call", "/secure/detect"}), "answered");
  EXPECT_EQ(r.lines, (std::vector<std::string>{"service seen", "answered"}));
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(n_->calls.load(), before + 1);
}

struct Intruder {
  const char* name;
  Env (*env)();
  std::vector<std::string> call_lines;
  std::string inject_line;
};

const Intruder kIntruders[] = {
    // (b) no credentials at all: the secured participants ignore it.
    {"unauthenticated",
     [] { return plain(kDomain); },
     {"service not seen", "no answer"},
     "published matched=0"},
    // (c) a valid identity whose permissions name other topics: its own
    // access control refuses the writers.
    {"other_topics", [] { return real("/other"); }, {"refused"}, "refused"},
    // (c) the same identity with permissions it signed itself: writers
    // exist, but the node's access control rejects the participant.
    {"forged_permissions",
     [] { return enforce(keystores().forged, "/other"); },
     {"service not seen", "no answer"},
     "published matched=0"},
};

// The trusted camera of the next test is the control: there the same
// injection does arrive. Every intruder runs at once, as each waits out its
// discovery time.
TEST_F(SecureDomainTest, IntrudersNeitherCallTheServiceNorReachTheNode) {
  const int calls_before = n_->calls.load();
  std::vector<std::pair<std::unique_ptr<Process>, std::unique_ptr<Process>>> peers;
  for (const Intruder& in : kIntruders) {
    peers.emplace_back(start_peer(in.env(), {"call", "/secure/detect"}),
                       start_peer(in.env(), {"inject", in.name, "20"}));
  }
  for (std::size_t i = 0; i < peers.size(); ++i) {
    const Intruder& in = kIntruders[i];
    EXPECT_EQ(finish_peer(*peers[i].first, "no answer").lines, in.call_lines) << in.name;
    EXPECT_EQ(finish_peer(*peers[i].second, in.inject_line).lines,
              std::vector<std::string>{in.inject_line})
        << in.name;
  }
  // Frames written at 20/s for a second; a trusted camera's arrive within that.
  std::this_thread::sleep_for(2s);
  for (const Intruder& in : kIntruders) {
    EXPECT_EQ(n_->frames_from(in.name), 0) << in.name;
    EXPECT_FALSE(n_->tf->_frameExists(std::string(in.name) + "_frame")) << in.name;
  }
  EXPECT_EQ(n_->calls.load(), calls_before);
}

// (d) A trusted camera's frames and transforms reach the node, yet its image
// rows never cross lo in clear. The unsecured run of the same peers on another
// domain shows the capture sees them when they are there.
TEST_F(SecureDomainTest, TrustedCameraReachesTheNodeButNeverInClear) {
  const bool can_capture = LoopbackCapture(kPlainDomain).ok();
  if (can_capture) {
    LoopbackCapture capture(kPlainDomain);
    Process sink(peer(plain(kPlainDomain), {"sink"}), {}, {}, /*merge_stderr=*/false);
    ASSERT_TRUE(sink.wait_for_line("ready", 60s));
    const auto pub =
        finish_peer(*start_peer(plain(kPlainDomain), {"inject", "plain", "10"}), "published");
    ASSERT_EQ(pub.lines, std::vector<std::string>{"published matched=2"});
    sink.signal(SIGINT);
    EXPECT_TRUE(sink.wait_for_line("received 10", 30s)) << sink.log();
    capture.stop();
    EXPECT_GT(capture.marked(), 0u) << capture.bytes() << " bytes captured, none with the marker";
  }
  LoopbackCapture secured(kDomain);
  const auto pub =
      finish_peer(*start_peer(real("/camera"), {"inject", "camera", "10"}), "published");
  ASSERT_EQ(pub.lines, std::vector<std::string>{"published matched=2"});
  EXPECT_TRUE(WaitFor([] { return n_->frames_from("camera") == 10; }, 30s))
      << n_->frames_from("camera") << " of 10 frames";
  EXPECT_TRUE(n_->tf->_frameExists("camera_frame"));
  if (!can_capture) {
    GTEST_SKIP() << "capturing on lo needs CAP_NET_RAW: the wire was not checked";
  }
  secured.stop();
  // Ten 9 kB images went through, and every byte of them was encrypted.
  EXPECT_GT(secured.bytes(), 10u * 64u * 48u * 3u);
  EXPECT_EQ(secured.marked(), 0u);
}

// Start-up: what each ROS_SECURITY_* set-up does to a process, and the one
// line it prints when it refuses to run.
struct StartUp {
  const char* name;
  std::string env;  // assignments for env(1)
  bool runs;        // else refused with exit 1
  // A part of the one line printed first, if any; a run then prints "ready", "received 0".
  std::string first;
};

class StartUpTest : public ::testing::TestWithParam<StartUp> {
protected:
  static void SetUpTestSuite() {
    const auto& ks = keystores();
    ASSERT_FALSE(ks.real.empty());
    const std::string e = ks.real + "/enclaves/";
    ASSERT_EQ(sh("mkdir -p " + e + "broken && cp -P " + e + "caller/* " + e + "broken/ && " +
                 "cp --remove-destination " + ks.forged + "/enclaves/other/permissions.p7s " + e +
                 "broken/ && mkdir -p " + e + "nopermissions && cp -P " + e + "caller/* " + e +
                 "nopermissions/ && rm " + e + "nopermissions/permissions.p7s"),
              0);
  }
};

TEST_P(StartUpTest, EndsWithOneLineOrRunsAsRclDoes) {
  const StartUp& c = GetParam();
  // Away from the secured node's domain, whose participant a plain one would
  // report refusing.
  Env env = plain(kPlainDomain);
  std::istringstream words(c.env);
  env.insert(env.end(), std::istream_iterator<std::string>(words), {});
  Process p(peer(env, {"sink"}));
  if (c.runs) {
    EXPECT_TRUE(p.wait_for_line("ready", 60s)) << p.log();
    EXPECT_EQ(p.stop(), 0) << p.log();
  } else {
    EXPECT_EQ(p.wait_exit(60s), 1) << p.log();
  }
  std::vector<std::string> lines;
  if (!c.first.empty()) {
    lines.push_back(Replace(c.first, "$K", keystores().real));
  }
  if (c.runs) {
    lines.insert(lines.end(), {"ready", "received 0"});
  }
  const auto out = Lines(p.log());
  ASSERT_EQ(out.size(), lines.size()) << p.log();
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_NE(out[i].find(lines[i]), std::string::npos) << p.log();
  }
}

const std::string kSecure = "ROS_SECURITY_ENABLE=true ROS_SECURITY_KEYSTORE=$K ";
const std::string kEnforce = kSecure + "ROS_SECURITY_STRATEGY=Enforce ";
const std::string kRefused = "[ros2_runtime] security: ";
const std::string kNoEnforce = kRefused + "ROS_SECURITY_STRATEGY=Enforce: ";
const std::string kPermissive = "[ros2_runtime] security disabled (Permissive): ";

INSTANTIATE_TEST_SUITE_P(
    Env, StartUpTest,
    ::testing::Values(
        StartUp{"Unset", "", true, ""},
        StartUp{"EnableNotExactlyTrue", "ROS_SECURITY_ENABLE=TRUE ROS_SECURITY_STRATEGY=Enforce",
                true, ""},
        StartUp{"EnforceWithoutKeystore", "ROS_SECURITY_ENABLE=true ROS_SECURITY_STRATEGY=Enforce",
                false, kNoEnforce + "ROS_SECURITY_KEYSTORE is not set"},
        StartUp{"EnforceMissingEnclave", kEnforce + "ROS_SECURITY_ENCLAVE_OVERRIDE=/absent", false,
                kNoEnforce + "enclave folder $K/enclaves/absent (enclave /absent) does not exist "
                             "in keystore $K"},
        StartUp{"EnforceRootEnclaveHasNoCertificate", kEnforce, false,
                kNoEnforce + "security file $K/enclaves/identity_ca.cert.pem is missing"},
        StartUp{"EnforceMissingPermissions",
                kEnforce + "ROS_SECURITY_ENCLAVE_OVERRIDE=/nopermissions", false,
                kNoEnforce + "security file $K/enclaves/nopermissions/permissions.p7s is missing"},
        StartUp{"EnforcePermissionsOfAnotherCa", kEnforce + "ROS_SECURITY_ENCLAVE_OVERRIDE=/broken",
                false, kRefused + "DDS Security refused the credentials in $K/enclaves/broken"},
        StartUp{"PermissiveMissingEnclaveRunsUnsecured",
                kSecure + "ROS_SECURITY_STRATEGY=Permissive ROS_SECURITY_ENCLAVE_OVERRIDE=/absent",
                true, kPermissive + "enclave folder $K/enclaves/absent"},
        StartUp{"LowerCaseEnforceIsPermissive",
                kSecure + "ROS_SECURITY_STRATEGY=enforce ROS_SECURITY_ENCLAVE_OVERRIDE=/absent",
                true, kPermissive + "enclave folder $K/enclaves/absent"}),
    [](const auto& info) { return std::string(info.param.name); });

// The enclave of `--ros-args --enclave NAME`, as rcl reads it.
TEST(EnclaveArgument, IsReadFromRosArgumentsOnly) {
  const char* with[] = {"prog", "--ros-args", "-r", "a:=b", "--enclave", "/robot/arm", "--"};
  const char* short_form[] = {"prog", "--ros-args", "-e", "/x"};
  const char* outside[] = {"prog", "--enclave", "/y", "--ros-args", "--", "-e", "/z"};
  EXPECT_EQ(ros2_runtime::enclave_from_arguments(7, with), "/robot/arm");
  EXPECT_EQ(ros2_runtime::enclave_from_arguments(4, short_form), "/x");
  EXPECT_EQ(ros2_runtime::enclave_from_arguments(7, outside), "/");
  EXPECT_EQ(ros2_runtime::enclave_from_arguments(0, nullptr), "/");
}

}  // namespace
