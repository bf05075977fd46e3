// ApproximateTime on crafted stamp sequences. Each expected output, and the arrival that
// triggers it, was traced by hand through the algorithm (pivot, candidate search, virtual
// search, queue limits); the traces are summarised next to each case.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "message_filters/sync_policies/approximate_time.h"
#include "message_filters/synchronizer.h"
#include "sensor_msgs/msg/image.hpp"

namespace {

using message_filters::Synchronizer;
using message_filters::sync_policies::ApproximateTime;
using sensor_msgs::msg::Image;

// A second message type: anything with header.stamp can be synchronised.
struct Depth {
  std_msgs::msg::Header header;
};

using Policy = ApproximateTime<Image, Depth>;

struct Arrival {
  char topic;  // 'A' colour, 'B' depth
  int ms;
};

// One output set: the arrival (index into the feed) during which it came out, and the stamps.
struct Output {
  int after;
  int a_ms;
  int b_ms;
  bool operator==(const Output& o) const {
    return after == o.after && a_ms == o.a_ms && b_ms == o.b_ms;
  }
};

std::ostream& operator<<(std::ostream& os, const Output& o) {
  return os << "{after " << o.after << ": A" << o.a_ms << " B" << o.b_ms << "}";
}

builtin_interfaces::msg::Time Stamp(int ms) {
  builtin_interfaces::msg::Time t;
  t.sec = 1000 + ms / 1000;  // an offset so that no stamp is zero
  t.nanosec = static_cast<std::uint32_t>((ms % 1000) * 1000000);
  return t;
}

int Ms(const builtin_interfaces::msg::Time& t) {
  return (t.sec - 1000) * 1000 + static_cast<int>(t.nanosec / 1000000);
}

class ApproximateTimeTest : public ::testing::Test {
protected:
  void Make(std::uint32_t queue_size, double age_penalty = 0.1) {
    Policy policy(queue_size);
    policy.setAgePenalty(age_penalty);
    Configure(policy);
    sync_ = std::make_unique<Synchronizer<Policy>>(policy);
    sync_->registerCallback(
        [this](const std::shared_ptr<const Image>& a, const std::shared_ptr<const Depth>& b) {
          outputs_.push_back({current_, Ms(a->header.stamp), Ms(b->header.stamp)});
        });
  }

  virtual void Configure(Policy&) {}

  void Feed(const std::vector<Arrival>& arrivals) {
    for (const auto& a : arrivals) {
      if (a.topic == 'A') {
        auto m = std::make_shared<Image>();
        m->header.stamp = Stamp(a.ms);
        sync_->add<0>(m);
      } else {
        auto m = std::make_shared<Depth>();
        m->header.stamp = Stamp(a.ms);
        sync_->add<1>(m);
      }
      ++current_;
    }
  }

  std::unique_ptr<Synchronizer<Policy>> sync_;
  std::vector<Output> outputs_;
  int current_ = 0;
};

TEST_F(ApproximateTimeTest, ExactPairsComeOutOnTheSecondArrival) {
  Make(10);
  // Equal heads: start is A (lower index), end and pivot B; spread 0 proves optimality at once.
  Feed({{'A', 0}, {'B', 0}, {'B', 100}, {'A', 100}, {'A', 200}, {'B', 200}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{1, 0, 0}, {3, 100, 100}, {5, 200, 200}}));
}

TEST_F(ApproximateTimeTest, JitterPairsNearestAndWaitsForProof) {
  Make(10);
  // A0 B3: candidate (0,3) pivot B; the virtual B (at pivot 3) could still beat it: wait.
  // A100: start B3 is the pivot: publish (0,3).
  // B98: candidate (100,98) pivot A; virtual A at 100 could beat it: wait. A200 queues.
  // B205: head A100 is the pivot: publish (100,98); then candidate (200,205) waits.
  // A300: head B205 is the pivot: publish (200,205). B296: candidate (300,296) waits.
  Feed({{'A', 0}, {'B', 3}, {'A', 100}, {'B', 98}, {'A', 200}, {'B', 205}, {'A', 300}, {'B', 296}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{2, 0, 3}, {5, 100, 98}, {6, 200, 205}}));
}

TEST_F(ApproximateTimeTest, DroppedFrameLeavesTheOrphanUnpaired) {
  Make(10);
  // B200 never comes. At B300: candidate (200,300) pivot B; A300 then beats it
  // (0 * 1.1 < 100), A200 is forgotten with the old candidate, and (300,300) is optimal.
  Feed({{'A', 0},
        {'B', 0},
        {'A', 100},
        {'B', 100},
        {'A', 200},
        {'A', 300},
        {'B', 300},
        {'A', 400},
        {'B', 400}});
  EXPECT_EQ(outputs_,
            (std::vector<Output>{{1, 0, 0}, {3, 100, 100}, {6, 300, 300}, {8, 400, 400}}));
  // Used messages are gone: B410 then A520 only form a new candidate (520,410) that waits,
  // A400 is not offered a second time.
  Feed({{'B', 410}, {'A', 520}});
  EXPECT_EQ(outputs_.size(), 4u);
}

TEST_F(ApproximateTimeTest, TwiceTheRateOnOneStream) {
  Make(10);
  // A at 50 ms steps, B at 100 ms. At B100 the heads A50 (past) and A100 compete:
  // (100,100) replaces (50,100) and is proved at once; the odd A messages are skipped.
  Feed({{'A', 0},
        {'B', 0},
        {'A', 50},
        {'A', 100},
        {'B', 100},
        {'A', 150},
        {'A', 200},
        {'B', 200},
        {'A', 250}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{1, 0, 0}, {4, 100, 100}, {7, 200, 200}}));
}

TEST_F(ApproximateTimeTest, TwiceTheRateWithTheSlowStreamAhead) {
  Make(10);
  // B100 before A100: candidate (50,100) pivot B cannot be proved (virtual A at 100 would
  // win), so nothing comes out until A100 replaces it with (100,100).
  Feed({{'A', 0}, {'B', 0}, {'A', 50}, {'B', 100}, {'A', 100}, {'A', 150}, {'B', 200}, {'A', 200}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{1, 0, 0}, {4, 100, 100}, {7, 200, 200}}));
}

TEST_F(ApproximateTimeTest, QueueOverflowDropsTheOldest) {
  Make(3);
  // A0..A20 fill the queue of 3; A30 drops A0, A40 drops A10. At B35: (20,35), then
  // (30,35) beats it (0 < 10); A40 does not ((40-35)*1.1 = 5.5 >= 35-30) and B35 is the pivot:
  // publish (30,35). A40 stays queued.
  Feed({{'A', 0}, {'A', 10}, {'A', 20}, {'A', 30}, {'A', 40}, {'B', 35}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{5, 30, 35}}));
  // A40 is still queued. B41: candidate (40,41) pivot B, spread 1; the virtual A at 41 gives
  // 0 * 1.1 < 1, which could beat it: wait.
  Feed({{'B', 41}});
  EXPECT_EQ(outputs_.size(), 1u);
  // A45 starts a set (45,41) whose spread 4 does not beat 1: B41, the pivot, is examined: out.
  Feed({{'A', 45}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{5, 30, 35}, {7, 40, 41}}));
}

TEST_F(ApproximateTimeTest, OverflowOnThePivotTopicForbidsItAsPivot) {
  Make(2);
  // B0, A10: candidate (10,0) pivot A, waiting. A20 queues. A30 overflows A: A10 is dropped,
  // the candidate is cancelled, and A (which dropped) may not be the pivot of (20,0): B0 goes.
  Feed({{'B', 0}, {'A', 10}, {'A', 20}, {'A', 30}});
  EXPECT_TRUE(outputs_.empty());
  // B100: B is the end now, A's flag clears: (20,100), then (30,100) beats it (0 < 10);
  // pivot B, the virtual A at 100 could still win: wait. Had A been allowed as pivot, (20,0)
  // would have come out here instead.
  Feed({{'B', 100}});
  EXPECT_TRUE(outputs_.empty());
  // A110: (110,100) beats (30,100) ((110-100)*1.1 = 11 < 70) and B100, the pivot, is the
  // start: out.
  Feed({{'A', 110}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{5, 110, 100}}));
}

TEST_F(ApproximateTimeTest, AgePenaltyWeighsLatenessAgainstSpread) {
  // A0, A9 queued, then B5: (0,5) then (9,5). Spread 5 vs 4 with lateness 4:
  // penalty 0.1: 4 * 1.1 = 4.4 < 5, the later set wins; penalty 0.3: 5.2 >= 5, the earlier.
  Make(10, 0.1);
  Feed({{'A', 0}, {'A', 9}, {'B', 5}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{2, 9, 5}}));

  outputs_.clear();
  current_ = 0;
  Make(10, 0.3);
  Feed({{'A', 0}, {'A', 9}, {'B', 5}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{2, 0, 5}}));
}

class MaxIntervalTest : public ApproximateTimeTest {
  void Configure(Policy& p) override { p.setMaxIntervalDuration(std::chrono::milliseconds(3)); }
};

TEST_F(MaxIntervalTest, WideSetsAreNeverOutput) {
  Make(10);
  // A0 B10: spread 10 > 3, A0 is discarded. A11: (11,10) pivot A, waits for proof.
  // B12: (11,12) does not beat it and A11, the pivot, is the start: out.
  Feed({{'A', 0}, {'B', 10}, {'A', 11}});
  EXPECT_TRUE(outputs_.empty());
  Feed({{'B', 12}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{3, 11, 10}}));
}

// The limit is inclusive, as in ROS: a spread of exactly the maximum still comes out.
TEST_F(MaxIntervalTest, SpreadOfExactlyTheMaximumIsOutput) {
  Make(10);
  Feed({{'A', 0}, {'B', 3}, {'A', 10}, {'B', 13}});
  ASSERT_FALSE(outputs_.empty());
  EXPECT_EQ(outputs_.front().a_ms, 0);
  EXPECT_EQ(outputs_.front().b_ms, 3);
}

class LowerBoundTest : public ApproximateTimeTest {
  void Configure(Policy& p) override {
    p.setInterMessageLowerBound(0, std::chrono::milliseconds(50));
  }
};

TEST_F(LowerBoundTest, KnownRateProvesTheSetEarlier) {
  Make(10);
  // As in the jitter case, but A promises 50 ms between messages: the virtual A is at 50,
  // (50-3)*1.1 >= 3 proves (0,3) on B3's arrival instead of A100's.
  Feed({{'A', 0}, {'B', 3}});
  EXPECT_EQ(outputs_, (std::vector<Output>{{1, 0, 3}}));
}

TEST(ApproximateTimeSettings, RejectsImpossibleSettings) {
  EXPECT_THROW(Policy(0), std::invalid_argument);
  Policy p(5);
  EXPECT_THROW(p.setAgePenalty(-0.5), std::invalid_argument);
  EXPECT_THROW(p.setInterMessageLowerBound(2, std::chrono::milliseconds(1)), std::invalid_argument);
}

}  // namespace
