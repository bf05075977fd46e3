// ApproximateTime on crafted stamp sequences. Each expected output, and the arrival that
// triggers it, was traced by hand through the algorithm (pivot, candidate search, virtual
// search, queue limits); the traces are summarised next to each case.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
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

// An offset of 1000 s so that no stamp is zero.
builtin_interfaces::msg::Time Stamp(int ms) {
  return {1000 + ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1000000)};
}

int Ms(const builtin_interfaces::msg::Time& t) {
  return (t.sec - 1000) * 1000 + static_cast<int>(t.nanosec / 1000000);
}

// A feed, the queue size and the sets it must output, each with the
// arrival during which it comes out (so the trace's waits are checked too).
struct SyncCase {
  const char* name;
  std::uint32_t queue_size;
  const char* feed;      // arrivals: topic and stamp (ms), e.g. "A0 B3"
  const char* expected;  // "index:A/B" per set: the arrival it came out in, its stamps
};

class ApproximateTimeTest : public ::testing::TestWithParam<SyncCase> {};

TEST_P(ApproximateTimeTest, OutputsTheTracedSets) {
  const SyncCase& c = GetParam();
  Policy policy(c.queue_size);
  Synchronizer<Policy> sync(policy);
  std::string outputs;
  int current = 0;
  sync.registerCallback(
      [&](const std::shared_ptr<const Image>& a, const std::shared_ptr<const Depth>& b) {
        outputs += (outputs.empty() ? "" : " ") + std::to_string(current) + ":" +
                   std::to_string(Ms(a->header.stamp)) + "/" + std::to_string(Ms(b->header.stamp));
      });
  std::istringstream feed(c.feed);
  for (std::string arrival; feed >> arrival; ++current) {
    const int ms = std::stoi(arrival.substr(1));
    if (arrival[0] == 'A') {
      auto m = std::make_shared<Image>();
      m->header.stamp = Stamp(ms);
      sync.add<0>(m);
    } else {
      auto m = std::make_shared<Depth>();
      m->header.stamp = Stamp(ms);
      sync.add<1>(m);
    }
  }
  EXPECT_EQ(outputs, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Traces, ApproximateTimeTest,
    ::testing::Values(
        // Equal heads: start is A (lower index), end and pivot B; spread 0 proves
        // optimality at once.
        SyncCase{"ExactPairs", 10, "A0 B0 B100 A100 A200 B200", "1:0/0 3:100/100 5:200/200"},
        // A0 B3: candidate (0,3) pivot B; the virtual B (at pivot 3) could still beat
        // it: wait. A100: start B3 is the pivot: publish (0,3). B98: candidate
        // (100,98) pivot A; virtual A at 100 could beat it: wait. A200 queues. B205:
        // head A100 is the pivot: publish (100,98); then candidate (200,205) waits.
        // A300: head B205 is the pivot: publish (200,205). B296: (300,296) waits.
        SyncCase{"Jitter", 10, "A0 B3 A100 B98 A200 B205 A300 B296", "2:0/3 5:100/98 6:200/205"},
        // B200 never comes. At B300: candidate (200,300) pivot B; A300 then beats it
        // (0 * 1.1 < 100), A200 is forgotten with the old candidate, and (300,300) is
        // optimal. Used messages are gone: B410 then A520 only form a new candidate
        // (520,410) that waits, A400 is not offered a second time.
        SyncCase{"DroppedFrame", 10, "A0 B0 A100 B100 A200 A300 B300 A400 B400 B410 A520",
                 "1:0/0 3:100/100 6:300/300 8:400/400"},
        // A at 50 ms steps, B at 100 ms. At B100 the heads A50 (past) and A100
        // compete: (100,100) replaces (50,100) and is proved at once.
        SyncCase{"TwiceTheRate", 10, "A0 B0 A50 A100 B100 A150 A200 B200 A250",
                 "1:0/0 4:100/100 7:200/200"},
        // B100 before A100: candidate (50,100) pivot B cannot be proved (virtual A at
        // 100 would win), so nothing comes out until A100 replaces it with (100,100).
        SyncCase{"TwiceTheRateSlowStreamAhead", 10, "A0 B0 A50 B100 A100 A150 B200 A200",
                 "1:0/0 4:100/100 7:200/200"},
        // A0..A20 fill the queue of 3; A30 drops A0, A40 drops A10. At B35: (20,35),
        // then (30,35) beats it; A40 does not ((40-35)*1.1 = 5.5 >= 35-30) and B35 is
        // the pivot: publish (30,35). B41: candidate (40,41) pivot B; the virtual A at
        // 41 could beat it: wait. A45: (45,41) does not beat spread 1 and B41, the
        // pivot, is examined: out.
        SyncCase{"QueueOverflowDropsTheOldest", 3, "A0 A10 A20 A30 A40 B35 B41 A45",
                 "5:30/35 7:40/41"},
        // B0, A10: candidate (10,0) pivot A, waiting. A20 queues. A30 overflows A: A10
        // is dropped, the candidate cancelled, and A (which dropped) may not be the
        // pivot of (20,0): B0 goes. B100: (30,100) pivot B waits (had A been allowed
        // as pivot, (20,0) would come out here). A110: (110,100) beats (30,100) and
        // B100, the pivot, is the start: out.
        SyncCase{"OverflowOnThePivotTopicForbidsItAsPivot", 2, "B0 A10 A20 A30 B100 A110",
                 "5:110/100"},
        // A0, A9 queued, then B5: (0,5) then (9,5). Spread 5 vs 4 with lateness 4:
        // the default penalty 0.1 gives 4 * 1.1 = 4.4 < 5, the later set wins.
        SyncCase{"AgePenalty", 10, "A0 A9 B5", "2:9/5"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
