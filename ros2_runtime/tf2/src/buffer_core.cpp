#include "tf2/buffer_core.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace tf2 {
namespace {

std::string stripSlash(const std::string& in) {
  return (!in.empty() && in[0] == '/') ? in.substr(1) : in;
}

TimePoint fromStamp(const builtin_interfaces::msg::Time& stamp) {
  return TimePoint(std::chrono::seconds(stamp.sec) + std::chrono::nanoseconds(stamp.nanosec));
}

builtin_interfaces::msg::Time toStamp(const TimePoint& t) {
  const std::int64_t ns = t.time_since_epoch().count();
  std::int64_t sec = ns / 1000000000;
  std::int64_t nsec = ns % 1000000000;
  if (nsec < 0) {
    nsec += 1000000000;
    --sec;
  }
  builtin_interfaces::msg::Time out;
  out.sec = static_cast<std::int32_t>(sec);
  out.nanosec = static_cast<std::uint32_t>(nsec);
  return out;
}

}  // namespace

BufferCore::BufferCore(Duration cache_time) : cache_time_(cache_time) {
  frames_.emplace_back();  // id 0 means "no frame"
  frame_ids_reverse_.emplace_back("NO_PARENT");
}

BufferCore::~BufferCore() = default;

void BufferCore::clear() {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  for (auto& frame : frames_) {
    if (frame) {
      frame->clearList();
    }
  }
}

bool BufferCore::setTransform(const geometry_msgs::msg::TransformStamped& transform_in,
                              const std::string& authority, bool is_static) {
  const std::string parent = stripSlash(transform_in.header.frame_id);
  const std::string child = stripSlash(transform_in.child_frame_id);
  const auto& t = transform_in.transform.translation;
  const auto& q = transform_in.transform.rotation;

  std::string fault;
  std::string kind;
  if (child == parent) {
    kind = "TF_SELF_TRANSFORM";
    fault = "Ignoring transform from authority \"" + authority +
            "\" with frame_id and child_frame_id \"" + child + "\" because they are the same";
  } else if (child.empty()) {
    kind = "TF_NO_CHILD_FRAME_ID";
    fault =
        "Ignoring transform from authority \"" + authority + "\" because child_frame_id not set";
  } else if (parent.empty()) {
    kind = "TF_NO_FRAME_ID";
    fault = "Ignoring transform with child_frame_id \"" + child + "\" from authority \"" +
            authority + "\" because frame_id not set";
  } else if (std::isnan(t.x) || std::isnan(t.y) || std::isnan(t.z) || std::isnan(q.x) ||
             std::isnan(q.y) || std::isnan(q.z) || std::isnan(q.w)) {
    kind = "TF_NAN_INPUT";
    fault = "Ignoring transform for child_frame_id \"" + child + "\" from authority \"" +
            authority + "\" because of a nan value in the transform";
  } else if (std::fabs(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w - 1.0) >= 0.01) {
    kind = "TF_DENORMALIZED_QUATERNION";
    std::ostringstream text;
    text << "Ignoring transform for child_frame_id \"" << child << "\" from authority \""
         << authority << "\" because of an invalid quaternion in the transform (" << q.x << " "
         << q.y << " " << q.z << " " << q.w << ")";
    fault = text.str();
  }

  std::unique_lock<std::mutex> lock(frame_mutex_);
  if (!fault.empty()) {
    const bool first = reported_.emplace(kind + "|" + child + "|" + parent, true).second;
    lock.unlock();
    if (first) {
      LOG_ERROR("{}: {}", kind, fault);
    } else {
      LOG_DEBUG("{}: {}", kind, fault);
    }
    return false;
  }

  const CompactFrameID child_id = lookupOrInsertFrameNumber(child);
  auto& frame = frames_[child_id];
  if (!frame || frame->isStatic() != is_static) {
    // A link changing between static and moving starts a fresh history.
    if (is_static) {
      frame = std::make_unique<StaticCache>();
    } else {
      frame = std::make_unique<TimeCache>(cache_time_);
    }
  }
  TransformStorage storage;
  storage.translation = Eigen::Vector3d(t.x, t.y, t.z);
  storage.rotation = Eigen::Quaterniond(q.w, q.x, q.y, q.z).normalized();
  storage.stamp = fromStamp(transform_in.header.stamp);
  storage.frame_id = lookupOrInsertFrameNumber(parent);
  storage.child_frame_id = child_id;
  if (!frames_[child_id]->insertData(storage)) {
    const bool first = reported_.emplace("TF_OLD_DATA|" + child, true).second;
    lock.unlock();
    const std::string text = "TF_OLD_DATA ignoring data from the past for frame " + child +
                             " at time " + displayTimePoint(storage.stamp) +
                             " according to authority " + authority;
    if (first) {
      LOG_WARN("{}", text);
    } else {
      LOG_DEBUG("{}", text);
    }
    return false;
  }
  ++insert_count_;
  lock.unlock();
  data_arrived_.notify_all();
  return true;
}

void BufferCore::waitForNewData(Duration max_wait) const {
  std::unique_lock<std::mutex> lock(frame_mutex_);
  const std::uint64_t seen = insert_count_;
  data_arrived_.wait_for(lock, max_wait, [&] { return insert_count_ != seen; });
}

CompactFrameID BufferCore::lookupFrameNumber(const std::string& frame_id) const {
  auto it = frame_ids_.find(frame_id);
  return it == frame_ids_.end() ? 0 : it->second;
}

CompactFrameID BufferCore::lookupOrInsertFrameNumber(const std::string& frame_id) {
  auto it = frame_ids_.find(frame_id);
  if (it != frame_ids_.end()) {
    return it->second;
  }
  const auto id = static_cast<CompactFrameID>(frames_.size());
  frames_.emplace_back();
  frame_ids_.emplace(frame_id, id);
  frame_ids_reverse_.push_back(frame_id);
  return id;
}

const std::string& BufferCore::lookupFrameString(CompactFrameID id) const {
  return frame_ids_reverse_.at(id);
}

TimeCacheInterface* BufferCore::getFrame(CompactFrameID id) const {
  return id < frames_.size() ? frames_[id].get() : nullptr;
}

CompactFrameID BufferCore::validateFrameId(const char* function, const char* argument,
                                           const std::string& frame_id) const {
  if (frame_id.empty()) {
    throw InvalidArgumentException(std::string("Invalid argument passed to ") + function +
                                   " argument " + argument + " in tf2 frame_ids cannot be empty");
  }
  if (frame_id[0] == '/') {
    throw InvalidArgumentException(std::string("Invalid argument \"") + frame_id + "\" passed to " +
                                   function + " argument " + argument +
                                   " in tf2 frame_ids cannot start with a '/'");
  }
  const CompactFrameID id = lookupFrameNumber(frame_id);
  if (id == 0) {
    throw LookupException("\"" + frame_id + "\" passed to " + function + " argument " + argument +
                          " does not exist. ");
  }
  return id;
}

std::string BufferCore::extrapolationText(const CacheLookup& why, TimePoint time,
                                          CompactFrameID child, CompactFrameID parent) const {
  std::string text;
  switch (why.status) {
    case CacheLookup::Status::kFuture:
      text = "Lookup would require extrapolation into the future.  Requested time " +
             displayTimePoint(time) + " but the latest data is at time " +
             displayTimePoint(why.newest);
      break;
    case CacheLookup::Status::kPast:
      text = "Lookup would require extrapolation into the past.  Requested time " +
             displayTimePoint(time) + " but the earliest data is at time " +
             displayTimePoint(why.oldest);
      break;
    case CacheLookup::Status::kSingleMismatch:
      text = "Lookup would require extrapolation at time " + displayTimePoint(time) +
             ", but only time " + displayTimePoint(why.newest) + " is in the buffer";
      break;
    case CacheLookup::Status::kEmpty:
    case CacheLookup::Status::kOk:
      text = "No data held for the link of frame " + lookupFrameString(child);
      break;
  }
  if (parent != 0) {
    text += " for the link " + lookupFrameString(parent) + " -> " + lookupFrameString(child);
  }
  return text;
}

TimePoint BufferCore::getLatestCommonTime(CompactFrameID target_id,
                                          CompactFrameID source_id) const {
  if (source_id == target_id) {
    const TimeCacheInterface* cache = getFrame(source_id);
    return cache ? cache->getLatestTimestamp() : TimePointZero;
  }
  // Up from the source: every frame with the newest stamp of the link above it.
  std::vector<std::pair<TimePoint, CompactFrameID>> source_chain;
  CompactFrameID frame = source_id;
  std::uint32_t depth = 0;
  while (frame != 0) {
    const TimeCacheInterface* cache = getFrame(frame);
    const auto latest = cache ? cache->getLatestTimeAndParent()
                              : std::pair<TimePoint, CompactFrameID>{TimePointZero, 0};
    source_chain.emplace_back(latest.first, frame);
    if (frame == target_id) {
      break;
    }
    frame = latest.second;
    if (++depth > MAX_GRAPH_DEPTH) {
      throw LookupException("The tf tree is invalid because it contains a loop.");
    }
  }
  auto min_nonzero = [](TimePoint a, TimePoint b) {
    if (a == TimePointZero)
      return b;
    if (b == TimePointZero)
      return a;
    return std::min(a, b);
  };
  auto in_source_chain = [&](CompactFrameID f) {
    for (std::size_t i = 0; i < source_chain.size(); ++i) {
      if (source_chain[i].second == f)
        return static_cast<long>(i);
    }
    return -1L;
  };
  // Up from the target until it meets the source chain.
  TimePoint common = TimePointZero;
  frame = target_id;
  depth = 0;
  long meet = -1;
  while (frame != 0) {
    meet = in_source_chain(frame);
    if (meet >= 0) {
      break;
    }
    const TimeCacheInterface* cache = getFrame(frame);
    if (!cache) {
      break;
    }
    const auto latest = cache->getLatestTimeAndParent();
    common = min_nonzero(common, latest.first);
    frame = latest.second;
    if (++depth > MAX_GRAPH_DEPTH) {
      throw LookupException("The tf tree is invalid because it contains a loop.");
    }
  }
  if (meet < 0) {
    throw ConnectivityException(
        "Could not find a connection between '" + lookupFrameString(target_id) + "' and '" +
        lookupFrameString(source_id) +
        "' because they are not part of the same tree. Tf has two or more unconnected trees.");
  }
  // The links below the meeting frame on the source side; the meeting frame's own link is not
  // on the path.
  for (long i = 0; i < meet; ++i) {
    common = min_nonzero(common, source_chain[static_cast<std::size_t>(i)].first);
  }
  return common;
}

void BufferCore::lookupTransformImpl(CompactFrameID target_id, CompactFrameID source_id,
                                     const TimePoint& time_in, Pose& out,
                                     TimePoint& time_out) const {
  if (source_id == target_id) {
    out = Pose{};
    time_out = time_in;
    if (time_in == TimePointZero) {
      const TimeCacheInterface* cache = getFrame(source_id);
      if (cache) {
        time_out = cache->getLatestTimestamp();
      }
    }
    return;
  }
  const TimePoint time =
      time_in == TimePointZero ? getLatestCommonTime(target_id, source_id) : time_in;

  // Source side: the frames met going up and the source's pose in each of them.
  std::vector<CompactFrameID> source_frames;
  std::vector<Pose> source_in_frame;
  Pose acc;
  std::string source_error;
  CompactFrameID frame = source_id;
  std::uint32_t depth = 0;
  while (true) {
    source_frames.push_back(frame);
    source_in_frame.push_back(acc);
    if (frame == target_id) {
      out = acc;
      time_out = time;
      return;
    }
    const TimeCacheInterface* cache = getFrame(frame);
    if (!cache) {
      break;
    }
    TransformStorage link;
    const CacheLookup why = cache->getData(time, link);
    if (why.status != CacheLookup::Status::kOk) {
      const auto parent = cache->getLatestTimeAndParent().second;
      source_error = extrapolationText(why, time, frame, parent);
      break;
    }
    acc.translation = link.rotation * acc.translation + link.translation;
    acc.rotation = link.rotation * acc.rotation;
    frame = link.frame_id;
    if (++depth > MAX_GRAPH_DEPTH) {
      throw LookupException("The tf tree is invalid because it contains a loop.");
    }
  }

  // Target side, until it meets a frame of the source side.
  Pose target_acc;
  frame = target_id;
  depth = 0;
  while (true) {
    auto hit = std::find(source_frames.begin(), source_frames.end(), frame);
    if (hit != source_frames.end()) {
      const Pose& src = source_in_frame[static_cast<std::size_t>(hit - source_frames.begin())];
      const Eigen::Quaterniond inv_rot = target_acc.rotation.conjugate();
      out.rotation = inv_rot * src.rotation;
      out.translation = inv_rot * (src.translation - target_acc.translation);
      time_out = time;
      return;
    }
    const TimeCacheInterface* cache = getFrame(frame);
    if (!cache) {
      break;
    }
    TransformStorage link;
    const CacheLookup why = cache->getData(time, link);
    if (why.status != CacheLookup::Status::kOk) {
      const auto parent = cache->getLatestTimeAndParent().second;
      throw ExtrapolationException(
          extrapolationText(why, time, frame, parent) + ", when looking up transform from frame [" +
          lookupFrameString(source_id) + "] to frame [" + lookupFrameString(target_id) + "]");
    }
    target_acc.translation = link.rotation * target_acc.translation + link.translation;
    target_acc.rotation = link.rotation * target_acc.rotation;
    frame = link.frame_id;
    if (++depth > MAX_GRAPH_DEPTH) {
      throw LookupException("The tf tree is invalid because it contains a loop.");
    }
  }
  if (!source_error.empty()) {
    throw ExtrapolationException(source_error + ", when looking up transform from frame [" +
                                 lookupFrameString(source_id) + "] to frame [" +
                                 lookupFrameString(target_id) + "]");
  }
  throw ConnectivityException(
      "Could not find a connection between '" + lookupFrameString(target_id) + "' and '" +
      lookupFrameString(source_id) +
      "' because they are not part of the same tree. Tf has two or more unconnected trees.");
}

namespace {

geometry_msgs::msg::TransformStamped makeStamped(const std::string& target,
                                                 const std::string& source, TimePoint stamp,
                                                 const Eigen::Quaterniond& rotation,
                                                 const Eigen::Vector3d& translation) {
  geometry_msgs::msg::TransformStamped out;
  out.header.stamp = toStamp(stamp);
  out.header.frame_id = target;
  out.child_frame_id = source;
  out.transform.translation.x = translation.x();
  out.transform.translation.y = translation.y();
  out.transform.translation.z = translation.z();
  out.transform.rotation.x = rotation.x();
  out.transform.rotation.y = rotation.y();
  out.transform.rotation.z = rotation.z();
  out.transform.rotation.w = rotation.w();
  return out;
}

}  // namespace

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(const std::string& target_frame,
                                                                 const std::string& source_frame,
                                                                 const TimePoint& time) const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  if (target_frame == source_frame) {
    // Answered before validation, as tf2 does: identity at the frame's newest
    // stamp for time zero (if the frame is known), else at the time asked.
    TimePoint stamp = time;
    if (time == TimePointZero) {
      if (const TimeCacheInterface* cache = getFrame(lookupFrameNumber(target_frame))) {
        stamp = cache->getLatestTimestamp();
      }
    }
    return makeStamped(target_frame, source_frame, stamp, Eigen::Quaterniond::Identity(),
                       Eigen::Vector3d::Zero());
  }
  const CompactFrameID target_id = validateFrameId("lookupTransform", "target_frame", target_frame);
  const CompactFrameID source_id = validateFrameId("lookupTransform", "source_frame", source_frame);
  Pose pose;
  TimePoint stamp;
  lookupTransformImpl(target_id, source_id, time, pose, stamp);
  return makeStamped(target_frame, source_frame, stamp, pose.rotation, pose.translation);
}

geometry_msgs::msg::TransformStamped BufferCore::lookupTransform(
    const std::string& target_frame, const TimePoint& target_time, const std::string& source_frame,
    const TimePoint& source_time, const std::string& fixed_frame) const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  const CompactFrameID target_id = validateFrameId("lookupTransform", "target_frame", target_frame);
  const CompactFrameID source_id = validateFrameId("lookupTransform", "source_frame", source_frame);
  const CompactFrameID fixed_id = validateFrameId("lookupTransform", "fixed_frame", fixed_frame);
  Pose source_in_fixed;
  Pose fixed_in_target;
  TimePoint source_stamp;
  TimePoint target_stamp;
  lookupTransformImpl(fixed_id, source_id, source_time, source_in_fixed, source_stamp);
  lookupTransformImpl(target_id, fixed_id, target_time, fixed_in_target, target_stamp);
  const Eigen::Quaterniond rotation = fixed_in_target.rotation * source_in_fixed.rotation;
  const Eigen::Vector3d translation =
      fixed_in_target.rotation * source_in_fixed.translation + fixed_in_target.translation;
  return makeStamped(target_frame, source_frame, source_stamp, rotation, translation);
}

bool BufferCore::canTransform(const std::string& target_frame, const std::string& source_frame,
                              const TimePoint& time, std::string* error_msg) const {
  try {
    lookupTransform(target_frame, source_frame, time);
    return true;
  } catch (const TransformException& ex) {
    if (error_msg) {
      *error_msg = ex.what();
    }
    return false;
  }
}

bool BufferCore::canTransform(const std::string& target_frame, const TimePoint& target_time,
                              const std::string& source_frame, const TimePoint& source_time,
                              const std::string& fixed_frame, std::string* error_msg) const {
  try {
    lookupTransform(target_frame, target_time, source_frame, source_time, fixed_frame);
    return true;
  } catch (const TransformException& ex) {
    if (error_msg) {
      *error_msg = ex.what();
    }
    return false;
  }
}

std::vector<std::string> BufferCore::getAllFrameNames() const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return std::vector<std::string>(frame_ids_reverse_.begin() + 1, frame_ids_reverse_.end());
}

std::string BufferCore::allFramesAsString() const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  std::string out;
  for (CompactFrameID id = 1; id < frames_.size(); ++id) {
    const TimeCacheInterface* cache = getFrame(id);
    if (!cache) {
      continue;
    }
    const CompactFrameID parent = cache->getLatestTimeAndParent().second;
    if (parent == 0) {
      continue;
    }
    out += "Frame " + lookupFrameString(id) + " exists with parent " + lookupFrameString(parent) +
           ".\n";
  }
  return out;
}

bool BufferCore::_frameExists(const std::string& frame_id_str) const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return lookupFrameNumber(frame_id_str) != 0;
}

bool BufferCore::_getParent(const std::string& frame_id, TimePoint time,
                            std::string& parent) const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  const TimeCacheInterface* cache = getFrame(lookupFrameNumber(frame_id));
  if (!cache) {
    return false;
  }
  TransformStorage link;
  if (cache->getData(time, link).status != CacheLookup::Status::kOk || link.frame_id == 0) {
    return false;
  }
  parent = lookupFrameString(link.frame_id);
  return true;
}

}  // namespace tf2
