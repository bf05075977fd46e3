// Conversions between sensor_msgs/Image and OpenCV images, with cv_bridge's encoding rules.
#pragma once

#include <memory>
#include <opencv2/core/mat.hpp>
#include <stdexcept>
#include <string>

#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"

namespace cv_bridge {

// An impossible conversion or a message whose size, step and data do not agree.
class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& description) : std::runtime_error(description) {}
};

class CvImage;
using CvImagePtr = std::shared_ptr<CvImage>;
using CvImageConstPtr = std::shared_ptr<const CvImage>;

class CvImage {
public:
  std_msgs::msg::Header header;
  std::string encoding;
  cv::Mat image;

  CvImage() = default;
  CvImage(const std_msgs::msg::Header& header, const std::string& encoding,
          const cv::Mat& image = cv::Mat())
      : header(header), encoding(encoding), image(image) {}

  // A message holding a copy of the pixels, rows packed (step = cols * element size).
  sensor_msgs::msg::Image::SharedPtr toImageMsg() const;
  void toImageMsg(sensor_msgs::msg::Image& ros_image) const;

protected:
  // Keeps a shared message alive while `image` points into it.
  std::shared_ptr<void const> tracked_object_;
  friend CvImageConstPtr toCvShare(const sensor_msgs::msg::Image& source,
                                   const std::shared_ptr<void const>& tracked_object,
                                   const std::string& encoding);
};

// OpenCV type (CV_8UC3, ...) of an encoding; throws Exception for an unknown one.
int getCvType(const std::string& encoding);

// A converted copy; an empty encoding keeps the message's own.
CvImagePtr toCvCopy(const std::shared_ptr<const sensor_msgs::msg::Image>& source,
                    const std::string& encoding = std::string());
CvImagePtr toCvCopy(const sensor_msgs::msg::Image& source,
                    const std::string& encoding = std::string());

// Shares the message's pixels when no conversion is needed, else converts.
CvImageConstPtr toCvShare(const std::shared_ptr<const sensor_msgs::msg::Image>& source,
                          const std::string& encoding = std::string());
CvImageConstPtr toCvShare(const sensor_msgs::msg::Image& source,
                          const std::shared_ptr<void const>& tracked_object,
                          const std::string& encoding = std::string());

CvImagePtr cvtColor(const CvImageConstPtr& source, const std::string& encoding);

}  // namespace cv_bridge
