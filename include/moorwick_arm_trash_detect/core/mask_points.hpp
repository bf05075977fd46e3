// The pixels of a detection mask inside its box, the input of the cloud cut-out.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
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

}  // namespace moorwick
