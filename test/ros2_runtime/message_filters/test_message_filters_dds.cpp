// message_filters Subscribers over DDS feeding an ApproximateTime Synchronizer; the pairs
// and the thread they are delivered on.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "message_filters/subscriber.h"
#include "message_filters/sync_policies/approximate_time.h"
#include "message_filters/synchronizer.h"
#include "moorwick_test/process.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace {

using namespace std::chrono_literals;
using sensor_msgs::msg::Image;

// Each pair as "rgb ms encoding + depth ms encoding", and the thread it came on.
struct Collector {
  void OnPair(const Image::ConstSharedPtr& rgb, const Image::ConstSharedPtr& depth) {
    std::lock_guard<std::mutex> lock(mutex);
    pairs.push_back(std::to_string(rgb->header.stamp.nanosec / 1000000) + " " + rgb->encoding +
                    " + " + std::to_string(depth->header.stamp.nanosec / 1000000) + " " +
                    depth->encoding);
    threads.push_back(std::this_thread::get_id());
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return pairs.size();
  }
  std::mutex mutex;
  std::vector<std::string> pairs;
  std::vector<std::thread::id> threads;
};

Image Frame(const char* encoding, std::uint32_t ms) {
  return {{{100, ms * 1000000}, ""}, 1, 1, encoding, 0, 1, {static_cast<std::uint8_t>(ms)}};
}

TEST(MessageFiltersDds, SynchronisedPairsArriveOnTheExecutor) {
  rclcpp::init(0, nullptr);
  {
    auto sub_node = std::make_shared<rclcpp::Node>("mf_sub");
    auto pub_node = std::make_shared<rclcpp::Node>("mf_pub");
    message_filters::Subscriber<Image> rgb(sub_node, "/cam0/color");
    message_filters::Subscriber<Image> depth(sub_node, "/cam0/depth");
    using Policy = message_filters::sync_policies::ApproximateTime<Image, Image>;
    message_filters::Synchronizer<Policy> sync(Policy(10), rgb, depth);
    Collector collector;
    sync.registerCallback(
        std::bind(&Collector::OnPair, &collector, std::placeholders::_1, std::placeholders::_2));

    rclcpp::executors::SingleThreadedExecutor executor;
    executor.add_node(sub_node);
    std::thread spinner([&] { executor.spin(); });
    const std::thread::id spinner_id = spinner.get_id();

    auto rgb_pub = pub_node->create_publisher<Image>("/cam0/color", 10);
    auto depth_pub = pub_node->create_publisher<Image>("/cam0/depth", 10);
    ASSERT_TRUE(moorwick_test::WaitFor(
        [&] {
          return rgb_pub->get_subscription_count() > 0 && depth_pub->get_subscription_count() > 0 &&
                 rgb.getSubscriber()->get_publisher_count() > 0 &&
                 depth.getSubscriber()->get_publisher_count() > 0;
        },
        20s));
    // Colour at 0, 100, ... 400 ms, depth 2 ms later. Each set is proved optimal when the
    // next frame's colour arrives, so the last one stays pending: four pairs.
    for (std::uint32_t k = 0; k < 5; ++k) {
      rgb_pub->publish(Frame("rgb8", 100 * k));
      depth_pub->publish(Frame("16UC1", 100 * k + 2));
      std::this_thread::sleep_for(30ms);
    }
    moorwick_test::WaitFor([&] { return collector.Count() >= 4; }, 20s);
    std::this_thread::sleep_for(200ms);  // nothing more may come
    executor.cancel();
    spinner.join();

    const std::vector<std::string> expected = {"0 rgb8 + 2 16UC1", "100 rgb8 + 102 16UC1",
                                               "200 rgb8 + 202 16UC1", "300 rgb8 + 302 16UC1"};
    EXPECT_EQ(collector.pairs, expected);
    EXPECT_EQ(collector.threads, std::vector<std::thread::id>(4, spinner_id));
  }
  rclcpp::shutdown();
}

}  // namespace
