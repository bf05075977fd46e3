// A tree of coordinate frames with a time-stamped cache per link: the
// ROS-free half of tf2. Inserted by listeners, queried by lookups.
#pragma once

#include <Eigen/Geometry>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "tf2/exceptions.h"
#include "tf2/time.h"

namespace tf2 {

using CompactFrameID = std::uint32_t;

static constexpr Duration BUFFER_CORE_DEFAULT_CACHE_TIME = std::chrono::seconds(10);

// One sample of one link: the pose of child_frame_id in frame_id.
struct TransformStorage {
  Eigen::Quaterniond rotation{Eigen::Quaterniond::Identity()};
  Eigen::Vector3d translation{Eigen::Vector3d::Zero()};
  TimePoint stamp{};
  CompactFrameID frame_id = 0;
  CompactFrameID child_frame_id = 0;
};

// Why a cache could not answer for a time, with the times that bound it.
struct CacheLookup {
  enum class Status { kOk, kEmpty, kFuture, kPast, kSingleMismatch };
  Status status = Status::kOk;
  TimePoint oldest{};
  TimePoint newest{};
};

class TimeCacheInterface {
public:
  virtual ~TimeCacheInterface() = default;
  // Fills `out` for `time` (zero = newest); interpolates between samples.
  virtual CacheLookup getData(TimePoint time, TransformStorage& out) const = 0;
  // False when the sample is older than the cache keeps.
  virtual bool insertData(const TransformStorage& data) = 0;
  virtual void clearList() = 0;
  // Newest stamp (zero for static links) and the parent at that stamp; parent 0 when empty.
  virtual std::pair<TimePoint, CompactFrameID> getLatestTimeAndParent() const = 0;
  virtual TimePoint getLatestTimestamp() const = 0;
  virtual TimePoint getOldestTimestamp() const = 0;
  virtual std::size_t getListLength() const = 0;
  virtual bool isStatic() const = 0;
};

// Samples of a moving link, newest last, kept for max_storage_time behind the newest.
class TimeCache : public TimeCacheInterface {
public:
  explicit TimeCache(Duration max_storage_time = BUFFER_CORE_DEFAULT_CACHE_TIME);
  CacheLookup getData(TimePoint time, TransformStorage& out) const override;
  bool insertData(const TransformStorage& data) override;
  void clearList() override;
  std::pair<TimePoint, CompactFrameID> getLatestTimeAndParent() const override;
  TimePoint getLatestTimestamp() const override;
  TimePoint getOldestTimestamp() const override;
  std::size_t getListLength() const override { return storage_.size(); }
  bool isStatic() const override { return false; }

private:
  void pruneList();
  std::vector<TransformStorage> storage_;  // ascending stamps
  Duration max_storage_time_;
};

// A fixed link: one sample valid at every time.
class StaticCache : public TimeCacheInterface {
public:
  CacheLookup getData(TimePoint time, TransformStorage& out) const override;
  bool insertData(const TransformStorage& data) override;
  void clearList() override;
  std::pair<TimePoint, CompactFrameID> getLatestTimeAndParent() const override;
  TimePoint getLatestTimestamp() const override { return TimePointZero; }
  TimePoint getOldestTimestamp() const override { return TimePointZero; }
  std::size_t getListLength() const override { return has_data_ ? 1u : 0u; }
  bool isStatic() const override { return true; }

private:
  TransformStorage storage_;
  bool has_data_ = false;
};

class BufferCore {
public:
  static constexpr std::uint32_t MAX_GRAPH_DEPTH = 1000;

  explicit BufferCore(Duration cache_time = BUFFER_CORE_DEFAULT_CACHE_TIME);
  virtual ~BufferCore();

  // Forgets every sample; frames stay known.
  void clear();

  // Adds one link sample. Malformed input is logged and refused (false).
  bool setTransform(const geometry_msgs::msg::TransformStamped& transform,
                    const std::string& authority, bool is_static = false);

  // Pose of source_frame in target_frame at `time` (TimePointZero: latest common time).
  geometry_msgs::msg::TransformStamped lookupTransform(const std::string& target_frame,
                                                       const std::string& source_frame,
                                                       const TimePoint& time) const;

  // Source at source_time and target at target_time, related through fixed_frame.
  geometry_msgs::msg::TransformStamped lookupTransform(const std::string& target_frame,
                                                       const TimePoint& target_time,
                                                       const std::string& source_frame,
                                                       const TimePoint& source_time,
                                                       const std::string& fixed_frame) const;

  bool canTransform(const std::string& target_frame, const std::string& source_frame,
                    const TimePoint& time, std::string* error_msg = nullptr) const;

  bool canTransform(const std::string& target_frame, const TimePoint& target_time,
                    const std::string& source_frame, const TimePoint& source_time,
                    const std::string& fixed_frame, std::string* error_msg = nullptr) const;

  std::vector<std::string> getAllFrameNames() const;
  // One line per known link: "Frame child exists with parent parent."
  std::string allFramesAsString() const;
  Duration getCacheLength() { return cache_time_; }

  bool _frameExists(const std::string& frame_id_str) const;
  bool _getParent(const std::string& frame_id, TimePoint time, std::string& parent) const;

protected:
  // Blocks until a transform is inserted or `max_wait` passes. For waiting lookups.
  void waitForNewData(Duration max_wait) const;

private:
  struct Pose {
    Eigen::Quaterniond rotation{Eigen::Quaterniond::Identity()};
    Eigen::Vector3d translation{Eigen::Vector3d::Zero()};
  };

  // All below expect frame_mutex_ held.
  CompactFrameID lookupFrameNumber(const std::string& frame_id) const;
  CompactFrameID lookupOrInsertFrameNumber(const std::string& frame_id);
  const std::string& lookupFrameString(CompactFrameID id) const;
  CompactFrameID validateFrameId(const char* function, const char* argument,
                                 const std::string& frame_id) const;
  TimeCacheInterface* getFrame(CompactFrameID id) const;
  TimePoint getLatestCommonTime(CompactFrameID target_id, CompactFrameID source_id) const;
  void lookupTransformImpl(CompactFrameID target_id, CompactFrameID source_id,
                           const TimePoint& time, Pose& out, TimePoint& time_out) const;
  std::string extrapolationText(const CacheLookup& why, TimePoint time, CompactFrameID child,
                                CompactFrameID parent_hint) const;

  Duration cache_time_;
  mutable std::mutex frame_mutex_;
  mutable std::condition_variable data_arrived_;
  std::uint64_t insert_count_ = 0;
  std::vector<std::unique_ptr<TimeCacheInterface>> frames_;  // index = frame id; 0 unused
  std::vector<std::string> frame_ids_reverse_;
  std::unordered_map<std::string, CompactFrameID> frame_ids_;
  // Input faults already reported, so a misbehaving publisher is logged once.
  std::map<std::string, bool> reported_;
};

}  // namespace tf2
