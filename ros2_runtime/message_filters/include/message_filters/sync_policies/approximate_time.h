// Pairs messages of several topics by header stamp with the ROS ApproximateTime
// algorithm: each output set is the one with the smallest stamp spread among the
// candidates that share a pivot message, found without waiting longer than the
// arrival of messages can change the answer. Older messages than a published set
// are consumed; an unpublishable message is eventually dropped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "message_filters/message_traits.h"

namespace message_filters {
namespace sync_policies {

template <typename... Ms>
class ApproximateTime {
public:
  static constexpr std::size_t RealTypeCount = sizeof...(Ms);
  static_assert(RealTypeCount >= 2 && RealTypeCount <= 9, "2 to 9 topics");

  using Messages = std::tuple<std::shared_ptr<const Ms>...>;
  using Callback = std::function<void(const std::shared_ptr<const Ms>&...)>;
  template <std::size_t i>
  using MessageType = std::tuple_element_t<i, std::tuple<Ms...>>;

  explicit ApproximateTime(std::uint32_t queue_size) : queue_size_(queue_size) {
    if (queue_size == 0) {
      throw std::invalid_argument("ApproximateTime: queue size must be greater than 0");
    }
    inter_message_lower_bounds_.fill(0);
    has_dropped_messages_.fill(false);
    warned_about_incorrect_bound_.fill(false);
  }

  // Copies the settings, not the queued messages.
  ApproximateTime(const ApproximateTime& other)
      : queue_size_(other.queue_size_),
        age_penalty_(other.age_penalty_),
        max_interval_duration_(other.max_interval_duration_),
        inter_message_lower_bounds_(other.inter_message_lower_bounds_) {
    has_dropped_messages_.fill(false);
    warned_about_incorrect_bound_.fill(false);
  }
  ApproximateTime& operator=(const ApproximateTime&) = delete;

  // Weight of a newer candidate's lateness against an older one's spread (>= 0).
  void setAgePenalty(double age_penalty) {
    if (!(age_penalty >= 0.0)) {
      throw std::invalid_argument("ApproximateTime: age penalty must be >= 0");
    }
    age_penalty_ = age_penalty;
  }

  // Minimum spacing of consecutive messages on topic i (rclcpp::Duration or std::chrono).
  template <typename D>
  void setInterMessageLowerBound(int i, const D& lower_bound) {
    const std::int64_t ns = detail::toNanoseconds(lower_bound);
    if (i < 0 || static_cast<std::size_t>(i) >= RealTypeCount || ns < 0) {
      throw std::invalid_argument("ApproximateTime: bad inter message lower bound");
    }
    inter_message_lower_bounds_[static_cast<std::size_t>(i)] = ns;
  }

  template <typename D>
  void setInterMessageLowerBound(const D& lower_bound) {
    for (std::size_t i = 0; i < RealTypeCount; ++i) {
      setInterMessageLowerBound(static_cast<int>(i), lower_bound);
    }
  }

  // Sets whose stamps spread more than this are never output.
  template <typename D>
  void setMaxIntervalDuration(const D& max_interval_duration) {
    max_interval_duration_ = detail::toNanoseconds(max_interval_duration);
  }

  // Where output sets go; set by the Synchronizer.
  void initParent(std::function<void(const Messages&)> output) { output_ = std::move(output); }

  template <std::size_t i>
  void add(const std::shared_ptr<const MessageType<i>>& msg) {
    if (!msg) {
      return;
    }
    addEntry(i, Entry{message_traits::TimeStamp<MessageType<i>>::nanoseconds(*msg), msg});
  }

  static void invoke(const Callback& callback, const Messages& messages) {
    std::apply(callback, messages);
  }

private:
  struct Entry {
    std::int64_t stamp = 0;
    std::shared_ptr<const void> msg;
  };
  static constexpr std::size_t NO_PIVOT = 9;

  void addEntry(std::size_t i, Entry entry) {
    std::lock_guard<std::mutex> lock(data_mutex_);
    std::deque<Entry>& deque = deques_[i];
    deque.push_back(std::move(entry));
    if (deque.size() == 1) {
      ++num_non_empty_deques_;
      if (num_non_empty_deques_ == RealTypeCount) {
        process();
      }
    } else {
      checkInterMessageBound(i);
    }
    if (deque.size() + past_[i].size() > queue_size_) {
      // Too many held for this topic: restart the search without its oldest message.
      num_non_empty_deques_ = 0;
      for (std::size_t k = 0; k < RealTypeCount; ++k) {
        recover(k, past_[k].size());
      }
      deque.pop_front();
      has_dropped_messages_[i] = true;
      if (pivot_ != NO_PIVOT) {
        candidate_ = {};
        pivot_ = NO_PIVOT;
        process();
      }
    }
  }

  void checkInterMessageBound(std::size_t i) {
    if (warned_about_incorrect_bound_[i]) {
      return;
    }
    const std::deque<Entry>& deque = deques_[i];
    const std::vector<Entry>& past = past_[i];
    const std::int64_t msg_time = deque.back().stamp;
    std::int64_t previous_msg_time;
    if (deque.size() == 1) {
      if (past.empty()) {
        return;
      }
      previous_msg_time = past.back().stamp;
    } else {
      previous_msg_time = deque[deque.size() - 2].stamp;
    }
    // Messages out of order or closer than promised break the optimality proof; the
    // pairing keeps working, only less well. Nothing to do but not to warn twice.
    if (msg_time < previous_msg_time ||
        msg_time - previous_msg_time < inter_message_lower_bounds_[i]) {
      warned_about_incorrect_bound_[i] = true;
    }
  }

  static std::int64_t scaled(std::int64_t d, double factor) {
    return static_cast<std::int64_t>(static_cast<long double>(d) *
                                     static_cast<long double>(factor));
  }

  void dequeDeleteFront(std::size_t i) {
    deques_[i].pop_front();
    if (deques_[i].empty()) {
      --num_non_empty_deques_;
    }
  }

  void dequeMoveFrontToPast(std::size_t i) {
    past_[i].push_back(deques_[i].front());
    deques_[i].pop_front();
    if (deques_[i].empty()) {
      --num_non_empty_deques_;
    }
  }

  void makeCandidate() {
    for (std::size_t i = 0; i < RealTypeCount; ++i) {
      candidate_[i] = deques_[i].front();
      past_[i].clear();
    }
  }

  // Moves the last num_messages examined messages back to the front of the inbox.
  void recover(std::size_t i, std::size_t num_messages) {
    for (std::size_t n = 0; n < num_messages; ++n) {
      deques_[i].push_front(past_[i].back());
      past_[i].pop_back();
    }
    if (!deques_[i].empty()) {
      ++num_non_empty_deques_;
    }
  }

  void recoverAndDelete(std::size_t i) {
    while (!past_[i].empty()) {
      deques_[i].push_front(past_[i].back());
      past_[i].pop_back();
    }
    deques_[i].pop_front();
    if (!deques_[i].empty()) {
      ++num_non_empty_deques_;
    }
  }

  template <std::size_t... I>
  Messages candidateMessages(std::index_sequence<I...>) const {
    return Messages(std::static_pointer_cast<const Ms>(candidate_[I].msg)...);
  }

  void publishCandidate() {
    if (output_) {
      output_(candidateMessages(std::index_sequence_for<Ms...>{}));
    }
    candidate_ = {};
    pivot_ = NO_PIVOT;
    num_non_empty_deques_ = 0;
    for (std::size_t i = 0; i < RealTypeCount; ++i) {
      recoverAndDelete(i);
    }
  }

  // Earliest (end = false) or latest (end = true) head; ties go to the lower index for the
  // start and to the higher index for the end.
  void getCandidateBoundary(std::size_t& index, std::int64_t& time, bool end) const {
    time = deques_[0].front().stamp;
    index = 0;
    for (std::size_t i = 1; i < RealTypeCount; ++i) {
      const std::int64_t t = deques_[i].front().stamp;
      if ((t < time) ^ end) {
        time = t;
        index = i;
      }
    }
  }

  // The head stamp, or for an empty inbox the earliest time its next message could have.
  std::int64_t getVirtualTime(std::size_t i) const {
    if (!deques_[i].empty()) {
      return deques_[i].front().stamp;
    }
    const std::int64_t lower_bound = past_[i].back().stamp + inter_message_lower_bounds_[i];
    return lower_bound > pivot_time_ ? lower_bound : pivot_time_;
  }

  void getVirtualCandidateBoundary(std::size_t& index, std::int64_t& time, bool end) const {
    time = getVirtualTime(0);
    index = 0;
    for (std::size_t i = 1; i < RealTypeCount; ++i) {
      const std::int64_t t = getVirtualTime(i);
      if ((t < time) ^ end) {
        time = t;
        index = i;
      }
    }
  }

  void process() {
    while (num_non_empty_deques_ == RealTypeCount) {
      std::size_t end_index, start_index;
      std::int64_t end_time, start_time;
      getCandidateBoundary(end_index, end_time, true);
      getCandidateBoundary(start_index, start_time, false);
      for (std::size_t i = 0; i < RealTypeCount; ++i) {
        if (i != end_index) {
          // No dropped message could have beaten what this topic now offers.
          has_dropped_messages_[i] = false;
        }
      }
      if (pivot_ == NO_PIVOT) {
        if (end_time - start_time > max_interval_duration_) {
          dequeDeleteFront(start_index);
          continue;
        }
        if (has_dropped_messages_[end_index]) {
          // A dropped message of this topic might have made a better set.
          dequeDeleteFront(start_index);
          continue;
        }
        makeCandidate();
        candidate_start_ = start_time;
        candidate_end_ = end_time;
        pivot_ = end_index;
        pivot_time_ = end_time;
        dequeMoveFrontToPast(start_index);
      } else {
        if (scaled(end_time - candidate_end_, 1.0 + age_penalty_) >=
            start_time - candidate_start_) {
          dequeMoveFrontToPast(start_index);
        } else {
          makeCandidate();
          candidate_start_ = start_time;
          candidate_end_ = end_time;
          dequeMoveFrontToPast(start_index);
        }
      }

      // Publish once every set containing the pivot has been seen, or once any
      // later set, spanning [pivot_time_, end_time], is already worse.
      if (start_index == pivot_ ||
          scaled(end_time - candidate_end_, 1.0 + age_penalty_) >= pivot_time_ - candidate_start_) {
        publishCandidate();
      } else if (num_non_empty_deques_ < RealTypeCount) {
        // Try to prove optimality with the earliest possible next messages.
        std::array<std::size_t, RealTypeCount> num_virtual_moves{};
        while (true) {
          std::size_t v_end_index, v_start_index;
          std::int64_t v_end_time, v_start_time;
          getVirtualCandidateBoundary(v_end_index, v_end_time, true);
          getVirtualCandidateBoundary(v_start_index, v_start_time, false);
          if (scaled(v_end_time - candidate_end_, 1.0 + age_penalty_) >=
              pivot_time_ - candidate_start_) {
            publishCandidate();
            break;
          }
          if (scaled(v_end_time - candidate_end_, 1.0 + age_penalty_) <
              v_start_time - candidate_start_) {
            // An optimistic future set would win: wait for real messages.
            num_non_empty_deques_ = 0;
            for (std::size_t i = 0; i < RealTypeCount; ++i) {
              recover(i, num_virtual_moves[i]);
            }
            break;
          }
          dequeMoveFrontToPast(v_start_index);
          ++num_virtual_moves[v_start_index];
        }
      }
    }
  }

  std::uint32_t queue_size_;
  double age_penalty_ = 0.1;
  std::int64_t max_interval_duration_ = std::numeric_limits<std::int64_t>::max();
  std::array<std::int64_t, RealTypeCount> inter_message_lower_bounds_{};

  std::array<std::deque<Entry>, RealTypeCount> deques_;
  std::array<std::vector<Entry>, RealTypeCount> past_;
  std::array<bool, RealTypeCount> has_dropped_messages_{};
  std::array<bool, RealTypeCount> warned_about_incorrect_bound_{};
  std::uint32_t num_non_empty_deques_ = 0;
  std::array<Entry, RealTypeCount> candidate_{};
  std::int64_t candidate_start_ = 0;
  std::int64_t candidate_end_ = 0;
  std::int64_t pivot_time_ = 0;
  std::size_t pivot_ = NO_PIVOT;

  std::mutex data_mutex_;
  std::function<void(const Messages&)> output_;
};

}  // namespace sync_policies
}  // namespace message_filters
