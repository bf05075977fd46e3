// Frame tree semantics, with every expectation worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tf2/buffer_core.h"
#include "tf2/exceptions.h"
#include "tf2_eigen/tf2_eigen.hpp"

namespace {

constexpr double kEps = 1e-9;
const double kS45 = std::sqrt(0.5);  // sin 45 = cos 45

const auto Sec = tf2::timeFromSec;

// A link sample; rotation given as a quaternion (x, y, z, w).
geometry_msgs::msg::TransformStamped Link(const std::string& parent, const std::string& child,
                                          double t_sec, double x, double y, double z, double qx = 0,
                                          double qy = 0, double qz = 0, double qw = 1) {
  const auto ns = tf2::durationFromSec(t_sec).count();
  return {
      {{static_cast<std::int32_t>(ns / 1000000000), static_cast<std::uint32_t>(ns % 1000000000)},
       parent},
      child,
      {{x, y, z}, {qx, qy, qz, qw}}};
}

// Yaw about z as a quaternion.
geometry_msgs::msg::TransformStamped YawLink(const std::string& parent, const std::string& child,
                                             double t_sec, double x, double y, double z,
                                             double yaw) {
  return Link(parent, child, t_sec, x, y, z, 0, 0, std::sin(yaw / 2), std::cos(yaw / 2));
}

double StampSec(const geometry_msgs::msg::TransformStamped& m) {
  return m.header.stamp.sec + m.header.stamp.nanosec * 1e-9;
}

void ExpectTranslation(const geometry_msgs::msg::TransformStamped& m, double x, double y,
                       double z) {
  const auto& t = m.transform.translation;
  EXPECT_LT((Eigen::Vector3d(t.x, t.y, t.z) - Eigen::Vector3d(x, y, z)).norm(), kEps)
      << "got (" << t.x << ", " << t.y << ", " << t.z << ")";
}

// Quaternions q and -q are the same rotation.
void ExpectRotation(const geometry_msgs::msg::TransformStamped& m, double x, double y, double z,
                    double w) {
  const auto& q = m.transform.rotation;
  const double dot = q.x * x + q.y * y + q.z * z + q.w * w;
  EXPECT_NEAR(std::fabs(dot), 1.0, 1e-9)
      << "got (" << q.x << ", " << q.y << ", " << q.z << ", " << q.w << ")";
}

// The lookup's exception, its kind first, or "nothing thrown".
std::string Failure(const tf2::BufferCore& core, const std::string& target,
                    const std::string& source, tf2::TimePoint t) {
  try {
    core.lookupTransform(target, source, t);
  } catch (const tf2::ExtrapolationException& e) {
    return std::string("extrapolation: ") + e.what();
  } catch (const tf2::LookupException& e) {
    return std::string("lookup: ") + e.what();
  } catch (const tf2::ConnectivityException& e) {
    return std::string("connectivity: ") + e.what();
  } catch (const tf2::InvalidArgumentException& e) {
    return std::string("invalid: ") + e.what();
  }
  return "nothing thrown";
}

TEST(BufferCoreInterpolation, HalfwayAndQuarterBetweenTwoSamples) {
  tf2::BufferCore core;
  // t = 1 s at the origin, yaw 0; t = 3 s at (2, 4, -6), yaw 90 degrees.
  ASSERT_TRUE(core.setTransform(YawLink("world", "base", 1.0, 0, 0, 0, 0.0), "test"));
  ASSERT_TRUE(core.setTransform(YawLink("world", "base", 3.0, 2, 4, -6, M_PI / 2), "test"));

  auto half = core.lookupTransform("world", "base", Sec(2.0));
  ExpectTranslation(half, 1, 2, -3);
  ExpectRotation(half, 0, 0, std::sin(M_PI / 8), std::cos(M_PI / 8));  // yaw 45
  EXPECT_NEAR(StampSec(half), 2.0, 1e-9);
  EXPECT_EQ(half.header.frame_id, "world");
  EXPECT_EQ(half.child_frame_id, "base");

  auto quarter = core.lookupTransform("world", "base", Sec(1.5));
  ExpectTranslation(quarter, 0.5, 1, -1.5);
  ExpectRotation(quarter, 0, 0, std::sin(M_PI / 16), std::cos(M_PI / 16));  // yaw 22.5

  // Exactly on a sample: that sample.
  ExpectTranslation(core.lookupTransform("world", "base", Sec(3.0)), 2, 4, -6);
}

TEST(BufferCoreInterpolation, SlerpTakesTheShortWayRound) {
  tf2::BufferCore core;
  // Yaw 170 then yaw -170 degrees: the short way passes through 180, not through 0.
  ASSERT_TRUE(core.setTransform(YawLink("world", "base", 0.0, 0, 0, 0, 170 * M_PI / 180), "t"));
  ASSERT_TRUE(core.setTransform(YawLink("world", "base", 1.0, 0, 0, 0, -170 * M_PI / 180), "t"));
  ExpectRotation(core.lookupTransform("world", "base", Sec(0.5)), 0, 0, 1, 0);
}

TEST(BufferCoreChain, ThreeFramesWithOneStaticLink) {
  tf2::BufferCore core;
  // map -> arm_base moves: at 5 s it is at (1, 2, 0) turned 90 degrees about z.
  ASSERT_TRUE(core.setTransform(YawLink("map", "arm_base", 4.0, 0, 0, 0, 0), "t"));
  ASSERT_TRUE(core.setTransform(YawLink("map", "arm_base", 5.0, 1, 2, 0, M_PI / 2), "t"));
  // arm_base -> camera is fixed: 0.5 up, turned 90 degrees about x.
  ASSERT_TRUE(
      core.setTransform(Link("arm_base", "camera", 0.0, 0, 0, 0.5, kS45, 0, 0, kS45), "t", true));

  auto map_cam = core.lookupTransform("map", "camera", Sec(5.0));
  // Translation R_z90 * (0, 0, 0.5) + (1, 2, 0); rotation q_z90 * q_x90 = (0.5, 0.5, 0.5, 0.5).
  ExpectTranslation(map_cam, 1, 2, 0.5);
  ExpectRotation(map_cam, 0.5, 0.5, 0.5, 0.5);
  // The camera's x axis point (1, 0, 0): x90 keeps it, +0.5 z gives (1, 0, 0.5), z90 turns it
  // to (0, 1, 0.5), + (1, 2, 0) gives (1, 3, 0.5).
  const Eigen::Vector3d p = tf2::transformToEigen(map_cam) * Eigen::Vector3d(1, 0, 0);
  EXPECT_NEAR((p - Eigen::Vector3d(1, 3, 0.5)).norm(), 0.0, 1e-9);

  const auto cam_map = core.lookupTransform("camera", "map", Sec(5.0));
  const Eigen::Vector3d back = tf2::transformToEigen(cam_map) * Eigen::Vector3d(1, 3, 0.5);
  EXPECT_NEAR((back - Eigen::Vector3d(1, 0, 0)).norm(), 0.0, 1e-9);

  // The static link alone answers at any time with the requested stamp.
  auto fixed = core.lookupTransform("arm_base", "camera", Sec(123.25));
  ExpectTranslation(fixed, 0, 0, 0.5);
  EXPECT_NEAR(StampSec(fixed), 123.25, 1e-9);
}

TEST(BufferCoreTimeZero, LatestCommonTimeIsTheOldestNewestStampOfThePath) {
  tf2::BufferCore core;
  // map -> odom newest at 3 s, odom -> base newest at 5 s, base -> cam static,
  // odom -> laser newest at 4 s.
  for (double t : {1.0, 2.0, 3.0}) {
    ASSERT_TRUE(core.setTransform(Link("map", "odom", t, t, 0, 0), "t"));
  }
  for (double t : {1.0, 2.0, 3.0, 4.0, 5.0}) {
    ASSERT_TRUE(core.setTransform(Link("odom", "base", t, 0, 10 * t, 0), "t"));
  }
  ASSERT_TRUE(core.setTransform(Link("odom", "laser", 4.0, 0, 0, 1), "t"));
  ASSERT_TRUE(core.setTransform(Link("base", "cam", 0.0, 0, 0, 2), "t", true));

  // map <- cam: links odom(3), base(5), cam(static): common time 3.
  auto a = core.lookupTransform("map", "cam", tf2::TimePointZero);
  EXPECT_NEAR(StampSec(a), 3.0, 1e-9);
  ExpectTranslation(a, 3, 30, 2);
  // odom <- base: only base's link, newest 5.
  auto b = core.lookupTransform("odom", "base", tf2::TimePointZero);
  EXPECT_NEAR(StampSec(b), 5.0, 1e-9);
  ExpectTranslation(b, 0, 50, 0);
  // base <- laser, siblings: base(5) and laser(4) up to odom; map's link is above
  // the meeting frame.
  auto c = core.lookupTransform("base", "laser", tf2::TimePointZero);
  EXPECT_NEAR(StampSec(c), 4.0, 1e-9);
  ExpectTranslation(c, 0, -40, 1);
  // base <- cam: static only, stamp zero.
  auto d = core.lookupTransform("base", "cam", tf2::TimePointZero);
  EXPECT_EQ(d.header.stamp.sec, 0);
  EXPECT_EQ(d.header.stamp.nanosec, 0u);
  ExpectTranslation(d, 0, 0, 2);
  // A frame to itself: identity at that frame's newest stamp.
  auto e = core.lookupTransform("base", "base", tf2::TimePointZero);
  EXPECT_NEAR(StampSec(e), 5.0, 1e-9);
  ExpectTranslation(e, 0, 0, 0);
}

TEST(BufferCoreErrors, EachFailureIsNamedWithFramesAndTimes) {
  tf2::BufferCore core;
  ASSERT_TRUE(core.setTransform(Link("map", "base", 2.0, 0, 0, 0), "t"));
  ASSERT_TRUE(core.setTransform(Link("map", "base", 4.0, 0, 0, 0), "t"));
  ASSERT_TRUE(core.setTransform(Link("map", "other", 2.0, 0, 0, 0), "t"));
  ASSERT_TRUE(core.setTransform(Link("island", "rock", 2.0, 0, 0, 0), "t"));
  struct Case {
    const char* target;
    const char* source;
    tf2::TimePoint time;
    std::vector<const char*> parts;  // the first names the exception
  };
  const Case cases[] = {
      {"map",
       "base",
       Sec(5.0),
       {"extrapolation: ", "into the future", "5.000000000", "4.000000000", "[base]", "[map]"}},
      {"map", "base", Sec(1.5), {"extrapolation: ", "into the past", "2.000000000"}},
      // One sample answers only its own stamp; the target side reports the same way.
      {"other", "map", Sec(3.0), {"extrapolation: ", "only time 2.000000000"}},
      {"map",
       "camera_link",
       Sec(2.0),
       {"lookup: ", "\"camera_link\"", "source_frame", "does not exist"}},
      {"rock", "base", Sec(2.0), {"connectivity: ", "'rock' and 'base'"}},
      {"rock", "base", tf2::TimePointZero, {"connectivity: ", "'rock' and 'base'"}},
      {"", "base", Sec(2.0), {"invalid: ", "target_frame"}},
      {"map", "/base", Sec(2.0), {"invalid: ", "'/'"}},
  };
  for (const auto& c : cases) {
    const std::string text = Failure(core, c.target, c.source, c.time);
    EXPECT_EQ(text.rfind(c.parts[0], 0), 0u) << text;
    for (const char* part : c.parts) {
      EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    }
  }
  std::string err;
  EXPECT_FALSE(core.canTransform("map", "base", Sec(5.0), &err));
  EXPECT_NE(err.find("into the future"), std::string::npos) << err;
  EXPECT_TRUE(core.canTransform("map", "base", Sec(3.0), &err));
  // All of them are TransformExceptions for callers that catch the base.
  EXPECT_THROW(core.lookupTransform("nowhere", "base", Sec(2.0)), tf2::TransformException);
}

// As the real BufferCore: a frame to itself is answered before any frame
// validation, so even a frame never seen on tf gives identity.
TEST(BufferCoreErrors, SameFrameIsIdentityEvenWhenUnknown) {
  tf2::BufferCore core;
  ASSERT_TRUE(core.setTransform(Link("map", "base", 1.0, 1, 2, 3), "t"));
  for (const tf2::TimePoint t : {Sec(7.0), tf2::TimePointZero}) {
    const auto m = core.lookupTransform("ghost", "ghost", t);
    EXPECT_EQ(m.header.frame_id, "ghost");
    EXPECT_EQ(m.child_frame_id, "ghost");
    EXPECT_NEAR(StampSec(m), tf2::timeToSec(t), 1e-9);
    ExpectTranslation(m, 0, 0, 0);
    ExpectRotation(m, 0, 0, 0, 1);
    std::string err;
    EXPECT_TRUE(core.canTransform("ghost", "ghost", t, &err)) << err;
  }
  EXPECT_FALSE(core.canTransform("ghost", "base", Sec(1.0)));
}

struct BadInput {
  const char* name;
  geometry_msgs::msg::TransformStamped msg;
  bool accepted;
};

TEST(BufferCoreSetTransform, ValidatesInput) {
  const double nan = std::nan("");
  const std::vector<BadInput> cases = {
      {"self", Link("a", "a", 1, 0, 0, 0), false},
      {"no child", Link("a", "", 1, 0, 0, 0), false},
      {"no parent", Link("", "b", 1, 0, 0, 0), false},
      {"nan translation", Link("a", "b", 1, nan, 0, 0), false},
      {"nan rotation", Link("a", "b", 1, 0, 0, 0, nan, 0, 0, 1), false},
      {"zero quaternion", Link("a", "b", 1, 0, 0, 0, 0, 0, 0, 0), false},
      // |q|^2 = 1.0201: off by 0.0201, refused.
      {"long quaternion", Link("a", "b", 1, 0, 0, 0, 0, 0, 0, 1.01), false},
      // |q|^2 = 1.008016: off by less than 0.01, kept.
      {"nearly unit quaternion", Link("a", "b", 1, 0, 0, 0, 0, 0, 0, 1.004), true},
      {"slash prefixed", Link("/a", "/b", 1, 0, 0, 0), true},
  };
  for (const auto& c : cases) {
    tf2::BufferCore core;
    EXPECT_EQ(core.setTransform(c.msg, "test"), c.accepted) << c.name;
    EXPECT_EQ(core._frameExists("b"), c.accepted) << c.name;
  }
  // The leading slash is stripped, so the frames are known without it.
  tf2::BufferCore core;
  ASSERT_TRUE(core.setTransform(Link("/map", "/base", 1, 1, 2, 3), "test"));
  ExpectTranslation(core.lookupTransform("map", "base", Sec(1.0)), 1, 2, 3);
}

TEST(BufferCoreCache, OldDataRefusedAndHistoryPruned) {
  tf2::BufferCore core(std::chrono::seconds(10));
  ASSERT_TRUE(core.setTransform(Link("map", "base", 20.0, 20, 0, 0), "t"));
  // 5 + 10 < 20: older than the cache keeps.
  EXPECT_FALSE(core.setTransform(Link("map", "base", 5.0, 5, 0, 0), "t"));
  // 10 + 10 = 20: just inside.
  EXPECT_TRUE(core.setTransform(Link("map", "base", 10.0, 10, 0, 0), "t"));
  ExpectTranslation(core.lookupTransform("map", "base", Sec(15.0)), 15, 0, 0);
  // A newer sample at 25 s pushes 10 s out (10 + 10 < 25); 20 s stays.
  ASSERT_TRUE(core.setTransform(Link("map", "base", 25.0, 25, 0, 0), "t"));
  EXPECT_THROW(core.lookupTransform("map", "base", Sec(15.0)), tf2::ExtrapolationException);
  ExpectTranslation(core.lookupTransform("map", "base", Sec(22.5)), 22.5, 0, 0);
}

TEST(BufferCoreCache, RepeatedStampLatestSampleWins) {
  tf2::BufferCore core;
  ASSERT_TRUE(core.setTransform(Link("map", "base", 1.0, 1, 0, 0), "t"));
  ASSERT_TRUE(core.setTransform(Link("map", "base", 2.0, 2, 0, 0), "t"));
  EXPECT_TRUE(core.setTransform(Link("map", "base", 1.0, 5, 0, 0), "t"));
  ExpectTranslation(core.lookupTransform("map", "base", Sec(1.0)), 5, 0, 0);
  // Interpolation brackets with the replacement too.
  ExpectTranslation(core.lookupTransform("map", "base", Sec(1.5)), 3.5, 0, 0);
}

TEST(BufferCoreCache, ReparentedLinkIsNotBlended) {
  tf2::BufferCore core;
  ASSERT_TRUE(core.setTransform(Link("a", "c", 1.0, 1, 0, 0), "t"));
  ASSERT_TRUE(core.setTransform(Link("b", "c", 2.0, 9, 0, 0), "t"));
  std::string parent;
  ASSERT_TRUE(core._getParent("c", Sec(1.5), parent));
  EXPECT_EQ(parent, "a");
  ExpectTranslation(core.lookupTransform("a", "c", Sec(1.5)), 1, 0, 0);
}

TEST(BufferCoreCache, StaticReplacesAndSurvivesClear) {
  tf2::BufferCore core;
  ASSERT_TRUE(core.setTransform(Link("base", "cam", 0.0, 1, 0, 0), "t", true));
  ASSERT_TRUE(core.setTransform(Link("base", "cam", 7.0, 2, 0, 0), "t", true));
  ASSERT_TRUE(core.setTransform(Link("map", "base", 1.0, 0, 0, 0), "t"));
  ExpectTranslation(core.lookupTransform("base", "cam", Sec(3.0)), 2, 0, 0);
  core.clear();
  // The moving link lost its history, the fixed one did not.
  ExpectTranslation(core.lookupTransform("base", "cam", Sec(3.0)), 2, 0, 0);
  EXPECT_THROW(core.lookupTransform("map", "base", Sec(1.0)), tf2::ExtrapolationException);
  EXPECT_EQ(core.allFramesAsString(), "Frame cam exists with parent base.\n");
}

}  // namespace
