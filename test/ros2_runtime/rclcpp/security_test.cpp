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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "moorwick_test/child_process.hpp"
#include "moorwick_protocol/srv/arm_trash_pose.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros2_runtime/security.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/transform_listener.h"

using ArmTrashPose = moorwick_protocol::srv::ArmTrashPose;
using namespace std::chrono_literals;
using ros2_runtime_test::ChildProcess;

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

// Credentials of a peer: none, or an enclave of a keystore under Enforce.
struct Creds {
  std::string keystore;  // empty: security off
  std::string enclave;
};

std::vector<std::string> with_env(const Creds& c, int domain, std::vector<std::string> args) {
  std::vector<std::string> out = {"/usr/bin/env",
                                  "-u",
                                  "ROS_SECURITY_ENABLE",
                                  "-u",
                                  "ROS_SECURITY_STRATEGY",
                                  "-u",
                                  "ROS_SECURITY_KEYSTORE",
                                  "-u",
                                  "ROS_SECURITY_ENCLAVE_OVERRIDE",
                                  "ROS_DOMAIN_ID=" + std::to_string(domain)};
  if (!c.keystore.empty()) {
    out.insert(out.end(), {"ROS_SECURITY_ENABLE=true", "ROS_SECURITY_STRATEGY=Enforce",
                           "ROS_SECURITY_KEYSTORE=" + c.keystore,
                           "ROS_SECURITY_ENCLAVE_OVERRIDE=" + c.enclave});
  }
  out.push_back(kPeer);
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

// Everything a peer printed, once it ended (SIGINT after `limit`).
struct PeerResult {
  int exit;
  std::vector<std::string> lines;
};

PeerResult run_peer(const Creds& c, int domain, const std::vector<std::string>& args,
                    const std::string& last_line_prefix, std::chrono::seconds limit) {
  ChildProcess p(with_env(c, domain, args));
  PeerResult r{-3, {}};
  if (!p.started()) {
    return r;
  }
  const auto end = std::chrono::steady_clock::now() + limit;
  std::string line;
  while (p.read_line(line, std::chrono::duration_cast<std::chrono::milliseconds>(
                               end - std::chrono::steady_clock::now()))) {
    r.lines.push_back(line);
    if (line.rfind(last_line_prefix, 0) == 0) {
      break;
    }
  }
  // A caller ends by itself; an injector stays until it is stopped.
  r.exit = p.wait_exit(2s);
  if (r.exit == -1) {
    p.signal(SIGINT);
    r.exit = p.wait_exit(30s);
  }
  return r;
}

bool wait_for(const std::function<bool()>& cond, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return cond();
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

Creds real(const std::string& enclave) {
  return {keystores().real, enclave};
}

// The control: with the right permissions, frames and transforms do arrive,
// so "nothing arrived" below means the intruder was kept out.
TEST_F(SecureDomainTest, TrustedCameraFramesAndTransformsReachTheNode) {
  ChildProcess cam(with_env(real("/camera"), kDomain, {"inject", "camera", "20"}));
  ASSERT_TRUE(cam.started());
  std::string line;
  ASSERT_TRUE(cam.read_line(line, 60s));
  EXPECT_EQ(line, "published matched=2");
  EXPECT_TRUE(wait_for([] { return n_->frames_from("camera") == 20; }, 30s))
      << n_->frames_from("camera") << " of 20 frames";
  EXPECT_TRUE(n_->tf->_frameExists("camera_frame"));
}

TEST_F(SecureDomainTest, AuthenticatedCallerGetsAnswers) {
  const int before = n_->calls.load();
  const auto r = run_peer(real("/caller"), kDomain, {"call", "/secure/detect"}, "answered", 60s);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"service seen", "answered"}));
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(n_->calls.load(), before + 1);
}

struct Intruder {
  const char* name;
  Creds (*creds)();
  std::vector<std::string> call_lines;
  std::string inject_line;
};

class IntruderTest : public SecureDomainTest, public ::testing::WithParamInterface<Intruder> {};

TEST_P(IntruderTest, NeitherCallsTheServiceNorReachesTheNode) {
  const Intruder& in = GetParam();
  const int calls_before = n_->calls.load();
  const auto call = run_peer(in.creds(), kDomain, {"call", "/secure/detect"}, "no answer", 60s);
  EXPECT_EQ(call.lines, in.call_lines);
  const auto inj = run_peer(in.creds(), kDomain, {"inject", in.name, "20"}, in.inject_line, 60s);
  EXPECT_EQ(inj.lines, std::vector<std::string>{in.inject_line});
  // Frames written at 20/s for a second; a trusted camera's arrive within that.
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(n_->frames_from(in.name), 0);
  EXPECT_FALSE(n_->tf->_frameExists(std::string(in.name) + "_frame"));
  EXPECT_EQ(n_->calls.load(), calls_before);
}

INSTANTIATE_TEST_SUITE_P(
    Enforce, IntruderTest,
    ::testing::Values(
        // (b) no credentials at all: the secured participants ignore it.
        Intruder{"unauthenticated",
                 [] { return Creds{}; },
                 {"service not seen", "no answer"},
                 "published matched=0"},
        // (c) a valid identity whose permissions name other topics: its own
        // access control refuses the writers.
        Intruder{"other_topics", [] { return real("/other"); }, {"refused"}, "refused"},
        // (c) the same identity with permissions it signed itself: writers
        // exist, but the node's access control rejects the participant.
        Intruder{"forged_permissions",
                 [] {
                   return Creds{keystores().forged, "/other"};
                 },
                 {"service not seen", "no answer"},
                 "published matched=0"}),
    [](const auto& info) { return std::string(info.param.name); });

// (d) Frames reach the node, yet the image rows never cross lo in clear. The
// unsecured run of the same peers on another domain shows the capture sees
// them when they are there.
TEST_F(SecureDomainTest, ImagePayloadIsEncryptedOnTheWire) {
  {
    LoopbackCapture probe(kPlainDomain);
    if (!probe.ok()) {
      GTEST_SKIP() << "capturing on lo needs CAP_NET_RAW";
    }
  }
  {
    LoopbackCapture plain(kPlainDomain);
    ChildProcess sink(with_env(Creds{}, kPlainDomain, {"sink"}));
    std::string line;
    ASSERT_TRUE(sink.read_line(line, 60s));
    ASSERT_EQ(line, "ready");
    const auto pub = run_peer(Creds{}, kPlainDomain, {"inject", "plain", "10"}, "published", 60s);
    ASSERT_EQ(pub.lines, std::vector<std::string>{"published matched=1"});
    sink.signal(SIGINT);
    ASSERT_TRUE(sink.read_line(line, 30s));
    EXPECT_EQ(line, "received 10");
    plain.stop();
    RecordProperty("plain_bytes", std::to_string(plain.bytes()));
    RecordProperty("plain_marked_datagrams", std::to_string(plain.marked()));
    EXPECT_GT(plain.marked(), 0u) << plain.bytes() << " bytes captured, none with the marker";
  }
  LoopbackCapture secured(kDomain);
  const auto pub = run_peer(real("/camera"), kDomain, {"inject", "wire", "10"}, "published", 60s);
  ASSERT_EQ(pub.lines, std::vector<std::string>{"published matched=2"});
  EXPECT_TRUE(wait_for([] { return n_->frames_from("wire") == 10; }, 30s));
  secured.stop();
  RecordProperty("secured_bytes", std::to_string(secured.bytes()));
  RecordProperty("secured_marked_datagrams", std::to_string(secured.marked()));
  // Ten 9 kB images went through, and every byte of them was encrypted.
  EXPECT_GT(secured.bytes(), 10u * 64u * 48u * 3u);
  EXPECT_EQ(secured.marked(), 0u);
}

// Start-up: what each ROS_SECURITY_* set-up does to a process, and the one
// line it prints when it refuses to run.
struct StartUp {
  const char* name;
  std::string env;  // assignments for env(1); $K is the keystore
  int exit;         // 1: refused; 124: ran until stopped
  // Every line the process printed, each given by a part it must contain ($K
  // is the keystore): a refusal is one line.
  std::vector<std::string> lines;
};

std::string with_keystore(std::string text) {
  for (std::size_t at = text.find("$K"); at != std::string::npos; at = text.find("$K", at)) {
    text.replace(at, 2, keystores().real);
  }
  return text;
}

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
  const std::string cmd =
      "env -u ROS_SECURITY_ENABLE -u ROS_SECURITY_STRATEGY "
      "-u ROS_SECURITY_KEYSTORE -u ROS_SECURITY_ENCLAVE_OVERRIDE " +
      with_keystore(c.env) + " timeout -s INT 3 " + kPeer + " sink 2>&1";
  FILE* f = ::popen(cmd.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::vector<std::string> out;
  std::string all;
  char buf[1024];
  while (std::fgets(buf, sizeof(buf), f) != nullptr) {
    all += buf;
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    out.push_back(line);
  }
  const int st = ::pclose(f);
  ASSERT_TRUE(WIFEXITED(st)) << all;
  EXPECT_EQ(WEXITSTATUS(st), c.exit) << all;
  ASSERT_EQ(out.size(), c.lines.size()) << all;
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_NE(out[i].find(with_keystore(c.lines[i])), std::string::npos) << all;
  }
}

const std::string kSecure = "ROS_SECURITY_ENABLE=true ROS_SECURITY_KEYSTORE=$K ";
const std::string kEnforce = kSecure + "ROS_SECURITY_STRATEGY=Enforce ";
const std::string kRefused = "[ros2_runtime] security: ";
const std::string kPermissive = "[ros2_runtime] security disabled (Permissive): ";

INSTANTIATE_TEST_SUITE_P(
    Env, StartUpTest,
    ::testing::Values(
        StartUp{"Unset", "", 124, {"ready", "received 0"}},
        StartUp{"EnableNotExactlyTrue",
                "ROS_SECURITY_ENABLE=TRUE ROS_SECURITY_STRATEGY=Enforce",
                124,
                {"ready", "received 0"}},
        StartUp{"EnforceWithoutKeystore",
                "ROS_SECURITY_ENABLE=true ROS_SECURITY_STRATEGY=Enforce",
                1,
                {kRefused + "ROS_SECURITY_STRATEGY=Enforce: ROS_SECURITY_KEYSTORE is not set"}},
        StartUp{"EnforceMissingEnclave",
                kEnforce + "ROS_SECURITY_ENCLAVE_OVERRIDE=/absent",
                1,
                {kRefused + "ROS_SECURITY_STRATEGY=Enforce: enclave folder $K/enclaves/absent "
                            "(enclave /absent) does not exist in keystore $K"}},
        StartUp{"EnforceRootEnclaveHasNoCertificate",
                kEnforce,
                1,
                {kRefused + "ROS_SECURITY_STRATEGY=Enforce: security file "
                            "$K/enclaves/identity_ca.cert.pem is missing"}},
        StartUp{"EnforceMissingPermissions",
                kEnforce + "ROS_SECURITY_ENCLAVE_OVERRIDE=/nopermissions",
                1,
                {kRefused + "ROS_SECURITY_STRATEGY=Enforce: security file "
                            "$K/enclaves/nopermissions/permissions.p7s is missing"}},
        StartUp{"EnforcePermissionsOfAnotherCa",
                kEnforce + "ROS_SECURITY_ENCLAVE_OVERRIDE=/broken",
                1,
                {kRefused + "DDS Security refused the credentials in $K/enclaves/broken"}},
        StartUp{"PermissiveMissingEnclaveRunsUnsecured",
                kSecure + "ROS_SECURITY_STRATEGY=Permissive ROS_SECURITY_ENCLAVE_OVERRIDE=/absent",
                124,
                {kPermissive + "enclave folder $K/enclaves/absent", "ready", "received 0"}},
        StartUp{"LowerCaseEnforceIsPermissive",
                kSecure + "ROS_SECURITY_STRATEGY=enforce ROS_SECURITY_ENCLAVE_OVERRIDE=/absent",
                124,
                {kPermissive + "enclave folder $K/enclaves/absent", "ready", "received 0"}}),
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
