// Helpers shared by the per-frame pipeline: mask points of a detection and the
// time stamps used in debug capture file names.
#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace moorwick {

// Float pixel coordinate truncated toward zero; NaN gives 0, values beyond the
// int range saturate.
int TruncToInt(float value);

// Non-zero pixels of `mask` inside `rect`, as (column, row) offsets from the
// box corner (rect x, y truncated), row-major. A large mask of a box away from
// the left and top border is first eroded in place, so outline pixels whose
// depth belongs to the background drop out. The walk is clipped to the mask,
// so a box reaching past the image reads nothing outside it. `mask` must be
// 8-bit single-channel; any other mask yields no points. With
// `erode_box_only` the erosion is applied to the walked box alone (same points,
// mask outside the box left as it was), for callers that never look there.
std::vector<cv::Point> getMaskPoints(cv::Mat& mask, const cv::Rect_<float>& rect, int erosion_size,
                                     bool erode_box_only = false);

// Local time formatted "%Y-%m-%d-%H-%M-%S".
std::string GetTimeString(std::chrono::system_clock::time_point when);
// The same for the current time; each debug file takes a fresh one.
std::string GetCurrentTimeString();

// Tag of the k-th piece of a frame in debug file names: "[k]".
std::string PieceTag(std::size_t k);

}  // namespace moorwick
