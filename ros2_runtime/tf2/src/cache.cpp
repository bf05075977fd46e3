#include <algorithm>

#include "tf2/buffer_core.h"

namespace tf2 {

TimeCache::TimeCache(Duration max_storage_time) : max_storage_time_(max_storage_time) {
}

CacheLookup TimeCache::getData(TimePoint time, TransformStorage& out) const {
  CacheLookup why;
  if (storage_.empty()) {
    why.status = CacheLookup::Status::kEmpty;
    return why;
  }
  why.oldest = storage_.front().stamp;
  why.newest = storage_.back().stamp;
  if (time == TimePointZero) {
    out = storage_.back();
    return why;
  }
  if (storage_.size() == 1) {
    if (storage_.front().stamp == time) {
      out = storage_.front();
    } else {
      why.status = CacheLookup::Status::kSingleMismatch;
    }
    return why;
  }
  if (time > why.newest) {
    why.status = CacheLookup::Status::kFuture;
    return why;
  }
  if (time < why.oldest) {
    why.status = CacheLookup::Status::kPast;
    return why;
  }
  // First sample not older than `time`; the one before it brackets from below.
  auto newer =
      std::lower_bound(storage_.begin(), storage_.end(), time,
                       [](const TransformStorage& s, const TimePoint& t) { return s.stamp < t; });
  if (newer->stamp == time) {
    out = *newer;
    return why;
  }
  const TransformStorage& older = *(newer - 1);
  if (older.frame_id != newer->frame_id) {
    // The link was re-parented in between: no meaningful blend exists.
    out = older;
    return why;
  }
  const double ratio = static_cast<double>((time - older.stamp).count()) /
                       static_cast<double>((newer->stamp - older.stamp).count());
  out.translation = older.translation + ratio * (newer->translation - older.translation);
  out.rotation = older.rotation.slerp(ratio, newer->rotation);
  out.stamp = time;
  out.frame_id = older.frame_id;
  out.child_frame_id = older.child_frame_id;
  return why;
}

bool TimeCache::insertData(const TransformStorage& data) {
  if (!storage_.empty() && storage_.back().stamp > data.stamp + max_storage_time_) {
    return false;
  }
  auto pos =
      std::lower_bound(storage_.begin(), storage_.end(), data.stamp,
                       [](const TransformStorage& s, const TimePoint& t) { return s.stamp < t; });
  if (pos != storage_.end() && pos->stamp == data.stamp) {
    // A new sample at a stamp we hold shadows the old one in tf2's cache, so
    // the latest wins.
    *pos = data;
    return true;
  }
  storage_.insert(pos, data);
  pruneList();
  return true;
}

void TimeCache::pruneList() {
  const TimePoint latest = storage_.back().stamp;
  auto keep = std::find_if(storage_.begin(), storage_.end(), [&](const TransformStorage& s) {
    return s.stamp + max_storage_time_ >= latest;
  });
  storage_.erase(storage_.begin(), keep);
}

void TimeCache::clearList() {
  storage_.clear();
}

std::pair<TimePoint, CompactFrameID> TimeCache::getLatestTimeAndParent() const {
  if (storage_.empty()) {
    return {TimePointZero, 0};
  }
  return {storage_.back().stamp, storage_.back().frame_id};
}

TimePoint TimeCache::getLatestTimestamp() const {
  return storage_.empty() ? TimePointZero : storage_.back().stamp;
}

TimePoint TimeCache::getOldestTimestamp() const {
  return storage_.empty() ? TimePointZero : storage_.front().stamp;
}

CacheLookup StaticCache::getData(TimePoint time, TransformStorage& out) const {
  CacheLookup why;
  if (!has_data_) {
    why.status = CacheLookup::Status::kEmpty;
    return why;
  }
  out = storage_;
  out.stamp = time;
  return why;
}

bool StaticCache::insertData(const TransformStorage& data) {
  storage_ = data;
  has_data_ = true;
  return true;
}

// Static links hold for all time, so clearing the history keeps them.
void StaticCache::clearList() {
}

std::pair<TimePoint, CompactFrameID> StaticCache::getLatestTimeAndParent() const {
  return {TimePointZero, has_data_ ? storage_.frame_id : 0};
}

}  // namespace tf2
