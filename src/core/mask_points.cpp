#include "moorwick_arm_trash_detect/core/mask_points.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
int TruncToInt(float value) {
  // Defined for any float the model may hand us: NaN reads as 0, out-of-range
  // values saturate.
  if (std::isnan(value)) {
    return 0;
  }
  const double limited =
      std::clamp(static_cast<double>(value), static_cast<double>(std::numeric_limits<int>::min()),
                 static_cast<double>(std::numeric_limits<int>::max()));
  return static_cast<int>(limited);
}

std::vector<cv::Point> getMaskPoints(cv::Mat& mask, const cv::Rect_<float>& rect, int erosion_size,
                                     bool erode_box_only) {
  std::vector<cv::Point> points;
  if (mask.empty() || mask.type() != CV_8UC1) {
    LOG_ERROR(
        "getMaskPoints: mask must be a non-empty 8-bit single-channel image, got {}x{} type {}",
        mask.cols, mask.rows, mask.type());
    return points;
  }

  const int x0 = TruncToInt(rect.x);
  const int y0 = TruncToInt(rect.y);
  const int w = TruncToInt(rect.width);
  const int h = TruncToInt(rect.height);
  // The walk covers the box as far as it lies inside the mask.
  const auto clip = [](long long value, int limit) {
    return static_cast<int>(std::clamp<long long>(value, 0, limit));
  };
  const int col_begin = clip(x0, mask.cols);
  const int col_end = clip(static_cast<long long>(x0) + w, mask.cols);
  const int row_begin = clip(y0, mask.rows);
  const int row_end = clip(static_cast<long long>(y0) + h, mask.rows);

  int count = 0;
  for (int row = row_begin; row < row_end; ++row) {
    const auto* line = mask.ptr<std::uint8_t>(row);
    for (int col = col_begin; col < col_end; ++col) {
      if (line[col] != 0) {
        ++count;
      }
    }
  }
  LOG_DEBUG("mask_init_size: {}", count);

  // Outline pixels of a large piece often carry the floor's depth; boxes near
  // the left or top border are left as they are.
  if (rect.x > 10.0F && count > 500 && rect.y > 10.0F) {
    LOG_INFO("Erode mask ! erosion_size: {}", erosion_size);
    // From every pixel a kernel twice the mask's size sees the whole mask, so
    // larger sizes change nothing; they would only overflow the kernel size.
    const int e = std::clamp(erosion_size, 0, std::max(mask.rows, mask.cols));
    const cv::Mat kernel =
        cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * e + 1, 2 * e + 1), cv::Point(e, e));
    if (!erode_box_only) {
      cv::erode(mask, mask, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                cv::morphologyDefaultBorderValue());
    } else if (col_end > col_begin && row_end > row_begin) {
      // A view of the box still reads its neighbours in the whole mask (the
      // border rule applies at the image's edge only), so the box's pixels
      // come out as a whole-mask erosion leaves them.
      cv::Mat box = mask(cv::Range(row_begin, row_end), cv::Range(col_begin, col_end));
      cv::Mat eroded;
      cv::erode(box, eroded, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                cv::morphologyDefaultBorderValue());
      eroded.copyTo(box);
    }
  }

  LOG_DEBUG("mask_rect: [ x: {} y: {} w: {} h: {} ]", rect.x, rect.y, rect.width, rect.height);
  LOG_DEBUG("mask.rows: {} mask.cols: {}", mask.rows, mask.cols);

  points.reserve(static_cast<std::size_t>(count));
  for (int row = row_begin; row < row_end; ++row) {
    const auto* line = mask.ptr<std::uint8_t>(row);
    for (int col = col_begin; col < col_end; ++col) {
      if (line[col] != 0) {
        points.emplace_back(col - x0, row - y0);
      }
    }
  }
  return points;
}

}  // namespace moorwick
