// 1280x720 rgb8 images, publish to callback: our rclcpp API against a raw
// Cyclone C writer and reader of the same (generated) IDL, in the same run.
// Both paths run in one process on one DDS domain, so Cyclone delivers
// locally: the figures isolate what each layer adds (serialisation, hand-over
// to the callback thread, deserialisation), not the network.
#include <benchmark/benchmark.h>
#include <dds/dds.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/Image.h"
#include "sensor_msgs/msg/image.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;
constexpr int kBurst = 20;

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Counts deliveries and sums publish-to-callback latency.
struct Receipts {
  std::mutex m;
  std::condition_variable cv;
  int64_t count{0};
  int64_t latency_ns{0};
  void add(int64_t sent_ns) {
    const int64_t l = now_ns() - sent_ns;
    {
      std::lock_guard<std::mutex> lock(m);
      ++count;
      latency_ns += l;
    }
    cv.notify_all();
  }
  bool wait_for_count(int64_t n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(30), [&] { return count >= n; });
  }
};

int64_t stamp_ns(int32_t sec, uint32_t nsec) {
  return int64_t{sec} * 1000000000LL + nsec;
}

void ensure_ros() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Before rclcpp::init: no thread of ours reads the environment yet.
    // NOLINTBEGIN(concurrency-mt-unsafe)
    setenv("ROS_DOMAIN_ID", "30", 0);
    setenv("CYCLONEDDS_URI", "file://" MOORWICK_LOOPBACK_CONFIG, 0);
    // NOLINTEND(concurrency-mt-unsafe)
    rclcpp::init(0, nullptr);
  });
}

// ---------------------------------------------------------------- ours

struct OursPath {
  OursPath() {
    ensure_ros();
    node = rclcpp::Node::make_shared("bench_ours");
    pub = node->create_publisher<sensor_msgs::msg::Image>("/bench/image", rclcpp::QoS(2 * kBurst));
    sub = node->create_subscription<sensor_msgs::msg::Image>(
        "/bench/image", rclcpp::QoS(2 * kBurst),
        [this](const sensor_msgs::msg::Image::ConstSharedPtr& m) {
          // The stamp carries the steady-clock send time.
          benchmark::DoNotOptimize(m->data.data());
          receipts.add(stamp_ns(m->header.stamp.sec, m->header.stamp.nanosec));
        });
    exec.add_node(node);
    spin = std::thread([this] { exec.spin(); });
    while (pub->get_subscription_count() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    msg.header.frame_id = "camera_color_optical_frame";
    msg.height = kHeight;
    msg.width = kWidth;
    msg.encoding = "rgb8";
    msg.step = kWidth * 3;
    msg.data.assign(static_cast<size_t>(kWidth) * kHeight * 3, 0x5a);
  }
  ~OursPath() {
    exec.cancel();
    spin.join();
  }
  void send() {
    const int64_t t = now_ns();
    msg.header.stamp.sec = static_cast<int32_t>(t / 1000000000LL);
    msg.header.stamp.nanosec = static_cast<uint32_t>(t % 1000000000LL);
    pub->publish(msg);
  }

  rclcpp::Node::SharedPtr node;
  rclcpp::Publisher<sensor_msgs::msg::Image>::SharedPtr pub;
  rclcpp::Subscription<sensor_msgs::msg::Image>::SharedPtr sub;
  rclcpp::executors::SingleThreadedExecutor exec;
  std::thread spin;
  sensor_msgs::msg::Image msg;
  Receipts receipts;
};

// ---------------------------------------------------------------- raw C

struct RawPath {
  RawPath() {
    ensure_ros();
    pp = dds_create_participant(30, nullptr, nullptr);
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_history(q, DDS_HISTORY_KEEP_LAST, 2 * kBurst);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(q, 1, &xcdr1);
    topic = dds_create_topic(pp, &sensor_msgs_msg_dds__Image__desc, "rt/bench/raw_image", nullptr,
                             nullptr);
    writer = dds_create_writer(pp, topic, q, nullptr);
    reader = dds_create_reader(pp, topic, q, nullptr);
    dds_delete_qos(q);
    ws = dds_create_waitset(pp);
    rc = dds_create_readcondition(reader, DDS_ANY_STATE);
    dds_waitset_attach(ws, rc, 0);
    stop_gc = dds_create_guardcondition(pp);
    dds_waitset_attach(ws, stop_gc, 1);
    take_thread = std::thread([this] { take_loop(); });
    dds_publication_matched_status_t st{};
    while (dds_get_publication_matched_status(writer, &st) == 0 && st.current_count == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pixels.assign(static_cast<size_t>(kWidth) * kHeight * 3, 0x5a);
    sample = sensor_msgs_msg_dds__Image_{};
    sample.header.frame_id = const_cast<char*>("camera_color_optical_frame");
    sample.height = kHeight;
    sample.width = kWidth;
    sample.encoding = const_cast<char*>("rgb8");
    sample.step = kWidth * 3;
    sample.data._length = sample.data._maximum = static_cast<uint32_t>(pixels.size());
    sample.data._buffer = pixels.data();
    sample.data._release = false;
  }
  ~RawPath() {
    dds_set_guardcondition(stop_gc, true);
    take_thread.join();
    dds_delete(pp);
  }
  void take_loop() {
    for (;;) {
      dds_attach_t triggered[2];
      const dds_return_t n = dds_waitset_wait(ws, triggered, 2, DDS_SECS(1));
      for (dds_return_t i = 0; i < n; ++i) {
        if (triggered[i] == 1) {
          return;
        }
      }
      void* samples[1] = {nullptr};
      dds_sample_info_t info;
      while (dds_take(reader, samples, &info, 1, 1) == 1) {
        if (info.valid_data) {
          const auto* s = static_cast<const sensor_msgs_msg_dds__Image_*>(samples[0]);
          benchmark::DoNotOptimize(s->data._buffer);
          receipts.add(stamp_ns(s->header.stamp.sec, s->header.stamp.nanosec));
        }
        dds_return_loan(reader, samples, 1);
      }
    }
  }
  void send() {
    const int64_t t = now_ns();
    sample.header.stamp.sec = static_cast<int32_t>(t / 1000000000LL);
    sample.header.stamp.nanosec = static_cast<uint32_t>(t % 1000000000LL);
    dds_write(writer, &sample);
  }

  dds_entity_t pp{0}, topic{0}, writer{0}, reader{0}, ws{0}, rc{0}, stop_gc{0};
  std::thread take_thread;
  std::vector<uint8_t> pixels;
  sensor_msgs_msg_dds__Image_ sample{};
  Receipts receipts;
};

// One image in flight: publish, wait for the callback.
template <class Path>
void BM_Latency(benchmark::State& state) {
  Path path;
  int64_t expected = 0;
  for (auto _ : state) {
    path.send();
    ++expected;
    if (!path.receipts.wait_for_count(expected)) {
      state.SkipWithError("image not delivered");
      break;
    }
  }
  state.counters["latency_us"] =
      benchmark::Counter(static_cast<double>(path.receipts.latency_ns) / 1000.0 /
                         static_cast<double>(std::max<int64_t>(path.receipts.count, 1)));
  state.SetItemsProcessed(path.receipts.count);
  state.SetBytesProcessed(path.receipts.count * int64_t{kWidth} * kHeight * 3);
}

// Bursts of images back to back; reliable delivery with room for a burst.
template <class Path>
void BM_Throughput(benchmark::State& state) {
  Path path;
  int64_t expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) {
      path.send();
    }
    expected += kBurst;
    if (!path.receipts.wait_for_count(expected)) {
      state.SkipWithError("images not delivered");
      break;
    }
  }
  state.SetItemsProcessed(path.receipts.count);
  state.SetBytesProcessed(path.receipts.count * int64_t{kWidth} * kHeight * 3);
}

BENCHMARK_TEMPLATE(BM_Latency, RawPath)
    ->Name("ImageLatency/raw_cyclone_c")
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK_TEMPLATE(BM_Latency, OursPath)
    ->Name("ImageLatency/rclcpp_runtime")
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK_TEMPLATE(BM_Throughput, RawPath)
    ->Name("ImageThroughput/raw_cyclone_c")
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK_TEMPLATE(BM_Throughput, OursPath)
    ->Name("ImageThroughput/rclcpp_runtime")
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
