#include "moorwick_arm_trash_detect/core/trash_pose_estimate.hpp"

#include <pcl/common/common.h>
#include <pcl/common/pca.h>
#include <pcl/features/moment_of_inertia_estimation.h>
#include <pcl/filters/passthrough.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "moorwick_arm_trash_detect/core/cloud_boxes.hpp"
#include "moorwick_arm_trash_detect/core/estimator_config.hpp"
#include "moorwick_arm_trash_detect/core/statistical_outlier_removal.hpp"
#include "moorwick_arm_trash_detect/logging/logger.hpp"

namespace moorwick {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr float kFloatMax = std::numeric_limits<float>::max();
// Farthest coordinate (metres, base frame) a cloud point may have.
constexpr float kFarLimitM = 1000.0F;
const std::string kDashes(71, '-');

// Gripper orientations (w, x, y, z): a half turn about y points the gripper
// down; a further quarter turn about y lays it horizontal.
const Eigen::Quaterniond kQDown(0.0, 0.0, 1.0, 0.0);
const Eigen::Quaterniond kQSide(0.7071067811865476, 0.0, 0.7071067811865475, 0.0);

using Clock = std::chrono::steady_clock;

double ElapsedMs(Clock::time_point start) {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  return static_cast<double>(us) / 1000.0;
}

// CPU time of the calling thread, for the stage profile: unlike wall time it
// does not grow when other processes share the cores.
class StageClock {
public:
  StageClock() : start_(Now()) {}
  double Ms() const { return Now() - start_; }

private:
  static double Now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
  }
  double start_;
};

Eigen::Quaterniond QuatRz(float angle) {
  const float half = angle * 0.5F;
  return Eigen::Quaterniond(static_cast<double>(std::cos(half)), 0.0, 0.0,
                            static_cast<double>(std::sin(half)));
}

Eigen::Quaterniond QuatRx(float angle) {
  const float half = angle * 0.5F;
  return Eigen::Quaterniond(static_cast<double>(std::cos(half)),
                            static_cast<double>(std::sin(half)), 0.0, 0.0);
}

bool IsFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

GrabPoseEstimate::GrabPoseEstimate(const std::string& config_path) {
  LoadEstimatorConfig(config_path, *this);
}

Eigen::Vector2f GrabPoseEstimate::CameraXY() const {
  return {camera_extrinsic_(0, 3), camera_extrinsic_(1, 3)};
}

// ---------------------------------------------------------------------------
// Cloud conditioning

void GrabPoseEstimate::PclProcessFunc(const CloudPtr& input, const CloudPtr& output) {
  const auto start = Clock::now();
  stage_timings_ = EstimateStageTimings{};

  // Depth holes and bad transforms give NaN/Inf points; they must not reach the
  // filters' bounding boxes nor the shape analysis.
  const std::size_t before = input->size();
  input->erase(std::remove_if(input->begin(), input->end(),
                              [](const pcl::PointXYZ& p) { return !IsFinite(p); }),
               input->end());
  if (input->size() != before) {
    input->width = static_cast<std::uint32_t>(input->size());
    input->height = 1;
    LOG_WARN("dropped {} non-finite points of {} before processing the trash cloud",
             before - input->size(), before);
  }
  // Nothing farther than this from the base belongs to a piece within reach;
  // coordinates near the float limit also make FLANN's kd-tree split abort.
  const std::size_t finite = input->size();
  input->erase(std::remove_if(input->begin(), input->end(),
                              [](const pcl::PointXYZ& p) {
                                return std::abs(p.x) > kFarLimitM || std::abs(p.y) > kFarLimitM ||
                                       std::abs(p.z) > kFarLimitM;
                              }),
               input->end());
  if (input->size() != finite) {
    input->width = static_cast<std::uint32_t>(input->size());
    input->height = 1;
    LOG_WARN("dropped {} points farther than {} m of {} before processing the trash cloud",
             finite - input->size(), kFarLimitM, finite);
  }
  input->is_dense = true;
  if (output != input) {
    *output = *input;
  }

  const Cloud backup = *input;

  StageClock stage;
  if (output->size() > 1000) {
    pcl::VoxelGrid<pcl::PointXYZ> voxel;
    voxel.setInputCloud(output);
    voxel.setLeafSize(sor_leaf_size_, sor_leaf_size_, sor_leaf_size_);
    voxel.filter(*output);
  }
  stage_timings_.voxel_grid_ms = stage.Ms();

  pcl::PointXYZ min_pt;
  pcl::PointXYZ max_pt;
  pcl::getMinMax3D(*output, min_pt, max_pt);
  trash_lowest_z_ = min_pt.z;
  trash_highest_z_ = max_pt.z;
  trash_height_ = max_pt.z - min_pt.z;
  LOG_DEBUG("trash_lowest_z_: {}", trash_lowest_z_);
  LOG_DEBUG("trash_highest_z_: {}", trash_highest_z_);
  LOG_DEBUG("trash_height_(trash_highest_z_ - trash_lowest_z_): {}", trash_height_);

  if (is_on_floor_) {
    trash_lowest_z_ = -base_height_;
    LOG_DEBUG("is_on_floor_ ! trash_lowest_z_: {}", trash_lowest_z_);
  }

  if (trash_height_ < remove_bottom_height_threshold_1_) {
    LOG_DEBUG("trash_height_ < remove_bottom_height_threshold_1_: {}",
              remove_bottom_height_threshold_1_);
    pass_ajust_value_ = pass_ajust_value_1_;
  } else if (trash_height_ < remove_bottom_height_threshold_2_) {
    LOG_DEBUG("trash_height_ < remove_bottom_height_threshold_2_: {}",
              remove_bottom_height_threshold_2_);
    pass_ajust_value_ = pass_ajust_value_2_;
  } else if (trash_height_ < remove_bottom_height_threshold_3_) {
    LOG_DEBUG("trash_height_ < remove_bottom_height_threshold_3_: {}",
              remove_bottom_height_threshold_3_);
    pass_ajust_value_ = pass_ajust_value_3_;
  } else if (trash_height_ > remove_bottom_height_threshold_3_) {
    LOG_DEBUG("trash_height_ > remove_bottom_height_threshold_3_: {}",
              remove_bottom_height_threshold_3_);
    // Tall pieces keep the offset chosen for the previous piece.
    RemoveBottomCloudByAngle(output, trash_lowest_z_, remove_cloud_angle_);
  }
  LOG_DEBUG("pass_ajust_value_: {}", pass_ajust_value_);

  stage = StageClock();
  float lower = trash_lowest_z_ + pass_ajust_value_;
  if (grab_center_mode_ == GrabCenterMode::kFitted) {
    lower = FittedPassThroughLimit(lower, trash_highest_z_);
  }
  pcl::PassThrough<pcl::PointXYZ> pass;
  pass.setInputCloud(output);
  pass.setFilterFieldName("z");
  pass.setFilterLimits(lower, 1.0F);
  pass.filter(*output);
  stage_timings_.pass_through_ms = stage.Ms();

  if (output->size() < min_trash_cloud_size_) {
    LOG_WARN(
        "trash cloud size is less than {} after pass filter between [{}, 1.0].\nrecovered to "
        "input_cloud !",
        min_trash_cloud_size_, lower);
    *output = backup;
  }

  stage = StageClock();
  // The grid search assumes an unorganised cloud, as the filters above leave it.
  const bool fast_sor = !use_pcl_reference_ && output->height <= 1 && sor2_meank_value_ > 0;
  if (!output->empty() && fast_sor) {
    RemoveStatisticalOutliers(*output, sor2_meank_value_, 1.0, estimate_threads_);
  } else if (!output->empty()) {
    pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
    sor.setInputCloud(output);
    sor.setMeanK(sor2_meank_value_);
    sor.setStddevMulThresh(1.0);
    sor.filter(*output);
  }
  stage_timings_.outlier_removal_ms = stage.Ms();

  pcl::getMinMax3D(*output, min_pt, max_pt);
  processed_trash_lowest_z_ = min_pt.z;
  processed_trash_highest_z_ = max_pt.z;
  processed_trash_height_ = max_pt.z - min_pt.z;
  LOG_DEBUG("processed_trash_lowest_z_: {}", processed_trash_lowest_z_);
  LOG_DEBUG("processed_trash_highest_z_: {}", processed_trash_highest_z_);
  LOG_DEBUG("processed_trash_height_: {}", processed_trash_height_);
  LOG_DEBUG("PclProcessFunc cost:{} ms", ElapsedMs(start));
}

pcl::PointXYZ GrabPoseEstimate::GetNearestPointToCamera(const CloudPtr& cloud) const {
  const Eigen::Vector2f cam = CameraXY();
  pcl::PointXYZ nearest(0.0F, 0.0F, 0.0F);
  float best = kFloatMax;
  for (const auto& p : cloud->points) {
    const float dx = p.x - cam.x();
    const float dy = p.y - cam.y();
    const float d2 = dx * dx + dy * dy;
    if (d2 < best) {
      best = d2;
      nearest = p;
    }
  }
  return nearest;
}

void GrabPoseEstimate::RemoveBottomCloudByAngle(const CloudPtr& cloud, float lowest_z,
                                                float angle_deg) {
  pcl::PointXYZ p = GetNearestPointToCamera(cloud);
  const Eigen::Vector2f cam = CameraXY();
  const double dx = static_cast<double>(p.x - cam.x());
  const double dy = static_cast<double>(p.y - cam.y());
  const double d = std::sqrt(dx * dx + dy * dy);
  p.z = lowest_z;

  const double a = static_cast<double>(angle_deg) * kPi / 180.0;
  const double s = std::sin(a);
  const double c = std::cos(a);
  Eigen::Vector3d n(dx * s * s, dy * s * s, -d * s * c);
  if (n.squaredNorm() > 0.0) {
    n.normalize();
  }
  FilterCloudByPlane(cloud, p.getVector3fMap(), n.cast<float>());
}

void GrabPoseEstimate::FilterCloudByPlane(const CloudPtr& cloud, const Eigen::Vector3f& point,
                                          const Eigen::Vector3f& normal) {
  Cloud kept;
  kept.reserve(cloud->size());
  for (const auto& q : cloud->points) {
    if (normal.dot(q.getVector3fMap() - point) > 0.0F) {
      continue;
    }
    kept.push_back(q);
  }
  kept.width = static_cast<std::uint32_t>(kept.size());
  kept.height = 1;
  kept.header = cloud->header;
  *cloud = std::move(kept);
}

// ---------------------------------------------------------------------------
// Shape analysis

void GrabPoseEstimate::PCAFunc(const CloudPtr& cloud) {
  LOG_DEBUG("==================================PCA==================================");
  const auto start = Clock::now();
  const StageClock cpu;
  if (cloud->size() < 3) {
    // PCL would throw; a piece this small has no principal axes.
    LOG_WARN("PCAFunc: cloud has {} points, fewer than 3; no principal axes", cloud->size());
    pca_eigen_vectors_.setIdentity();
    pca_center_ = Eigen::Vector4f(0.0F, 0.0F, 0.0F, 1.0F);
    pca_lengths_.setZero();
    return;
  }
  pcl::PCA<pcl::PointXYZ> pca;
  pca.setInputCloud(cloud);
  pca_eigen_vectors_ = pca.getEigenVectors();
  pca_center_ = pca.getMean();
  LOG_DEBUG("点云中心点坐标: x: {}, y: {}, z: {}", pca_center_.x(), pca_center_.y(),
            pca_center_.z());

  Cloud projected;
  pca.project(*cloud, projected);
  Eigen::Vector3f lo(kFloatMax, kFloatMax, kFloatMax);
  Eigen::Vector3f hi(-kFloatMax, -kFloatMax, -kFloatMax);
  for (const auto& p : projected.points) {
    lo = lo.cwiseMin(p.getVector3fMap());
    hi = hi.cwiseMax(p.getVector3fMap());
  }
  pca_lengths_ = hi - lo;
  LOG_DEBUG("点云在各个特征向量方向上的长度为: x: {}, y: {}, z: {}", pca_lengths_[0],
            pca_lengths_[1], pca_lengths_[2]);
  stage_timings_.pca_ms = cpu.Ms();
  LOG_DEBUG("PCAFunc cost: {} ms", ElapsedMs(start));
}

void GrabPoseEstimate::OBBFunc(const CloudPtr& cloud) {
  LOG_DEBUG("==================================OBB==================================");
  const StageClock cpu;
  const CloudPtr copy(new Cloud(*cloud));
  pcl::MomentOfInertiaEstimation<pcl::PointXYZ> estimator;
  estimator.setInputCloud(copy);
  estimator.compute();
  std::vector<float> moment_of_inertia;
  std::vector<float> eccentricity;
  pcl::PointXYZ position;
  Eigen::Matrix3f rotation;
  float major = 0.0F;
  float middle = 0.0F;
  float minor = 0.0F;
  Eigen::Vector3f major_vector;
  Eigen::Vector3f middle_vector;
  Eigen::Vector3f minor_vector;
  Eigen::Vector3f mass_center;
  estimator.getMomentOfInertia(moment_of_inertia);
  estimator.getEccentricity(eccentricity);
  estimator.getOBB(min_point_obb_, max_point_obb_, position, rotation);
  estimator.getEigenValues(major, middle, minor);
  estimator.getEigenVectors(major_vector, middle_vector, minor_vector);
  estimator.getMassCenter(mass_center);

  obb_position_ = position.getVector3fMap();
  obb_rotation_ = rotation;
  LOG_DEBUG("OBB包围盒的长宽高尺寸为: {} * {} * {}", max_point_obb_.x - min_point_obb_.x,
            max_point_obb_.y - min_point_obb_.y, max_point_obb_.z - min_point_obb_.z);
  LOG_DEBUG("OBB包围盒的位置: x: {}, y: {}, z: {}", obb_position_.x(), obb_position_.y(),
            obb_position_.z());
  obb_quaternion_ = Eigen::Quaternionf(obb_rotation_);
  stage_timings_.obb_ms = cpu.Ms();
}

void GrabPoseEstimate::AABBFunc(const CloudPtr& cloud) {
  LOG_DEBUG("=================================AABB==================================");
  const StageClock cpu;
  const CloudPtr copy(new Cloud(*cloud));
  pcl::MomentOfInertiaEstimation<pcl::PointXYZ> estimator;
  estimator.setInputCloud(copy);
  estimator.compute();
  estimator.getAABB(min_point_aabb_, max_point_aabb_);
  const Eigen::Vector3f size = max_point_aabb_.getVector3fMap() - min_point_aabb_.getVector3fMap();
  aabb_position_ = min_point_aabb_.getVector3fMap() + 0.5F * size;
  LOG_DEBUG("AABB包围盒的长宽高尺寸为: {} * {} * {}", size.x(), size.y(), size.z());
  LOG_DEBUG("AABB包围盒的位置: x: {}, y: {}, z: {}", aabb_position_.x(), aabb_position_.y(),
            aabb_position_.z());
  stage_timings_.aabb_ms = cpu.Ms();
}

void GrabPoseEstimate::BoxesFunc(const CloudPtr& cloud) {
  LOG_DEBUG("==================================OBB==================================");
  const StageClock cpu;
  const CloudBoxes boxes = ComputeCloudBoxes(*cloud);
  min_point_obb_ = boxes.obb_min;
  max_point_obb_ = boxes.obb_max;
  obb_position_ = boxes.obb_position;
  obb_rotation_ = boxes.obb_rotation;
  obb_quaternion_ = Eigen::Quaternionf(obb_rotation_);
  min_point_aabb_ = boxes.aabb_min;
  max_point_aabb_ = boxes.aabb_max;
  const Eigen::Vector3f size = max_point_aabb_.getVector3fMap() - min_point_aabb_.getVector3fMap();
  aabb_position_ = min_point_aabb_.getVector3fMap() + 0.5F * size;
  LOG_DEBUG("OBB包围盒的长宽高尺寸为: {} * {} * {}", max_point_obb_.x - min_point_obb_.x,
            max_point_obb_.y - min_point_obb_.y, max_point_obb_.z - min_point_obb_.z);
  LOG_DEBUG("OBB包围盒的位置: x: {}, y: {}, z: {}", obb_position_.x(), obb_position_.y(),
            obb_position_.z());
  LOG_DEBUG("=================================AABB==================================");
  LOG_DEBUG("AABB包围盒的长宽高尺寸为: {} * {} * {}", size.x(), size.y(), size.z());
  LOG_DEBUG("AABB包围盒的位置: x: {}, y: {}, z: {}", aabb_position_.x(), aabb_position_.y(),
            aabb_position_.z());
  stage_timings_.obb_ms = cpu.Ms();
  stage_timings_.aabb_ms = 0.0;
}

void GrabPoseEstimate::MinAreaRectFunc(const CloudPtr& cloud) {
  LOG_DEBUG("==============================MinAreaRect==============================");
  const StageClock cpu;
  std::vector<cv::Point2f> footprint;
  footprint.reserve(cloud->size());
  for (const auto& p : cloud->points) {
    footprint.emplace_back(p.x, p.y);
  }
  if (footprint.empty()) {
    LOG_WARN("MinAreaRectFunc: empty cloud, no footprint");
    return;
  }
  const cv::RotatedRect rect = cv::minAreaRect(footprint);
  LOG_DEBUG("Angle: {}", rect.angle);
  cv::Point2f corners[4];
  rect.points(corners);
  for (int i = 0; i < 4; ++i) {
    rect_points_(i, 0) = corners[i].x;
    rect_points_(i, 1) = corners[i].y;
  }
  // The long side; for a square the second edge.
  const cv::Point2f edge =
      rect.size.width < rect.size.height ? corners[1] - corners[0] : corners[2] - corners[1];
  Eigen::Vector2d dir(static_cast<double>(edge.x), static_cast<double>(edge.y));
  dir.normalize();
  if (dir.x() < 0.0) {
    dir = -dir;
  }
  rect_main_direction_ = dir.cast<float>();
  LOG_DEBUG("Adjusted unit vector: ({}, {})", rect_main_direction_.x(), rect_main_direction_.y());
  LOG_DEBUG(kDashes);
  stage_timings_.min_area_rect_ms = cpu.Ms();
}

void GrabPoseEstimate::GetMainaxisType(Eigen::Vector3f& axis, int& type) {
  const double a = static_cast<double>(std::fabs(axis.z()));
  if (a < 0.25881904510252074) {
    type = 1;
    if (axis.x() < 0.0F)
      axis = -axis;
  } else if (a < 0.7071067811865475) {
    type = 3;
    if (axis.x() < 0.0F)
      axis = -axis;
  } else if (a < 0.9659258262890683) {
    type = 4;
    if (axis.z() > 0.0F)
      axis = -axis;
  } else {
    type = 2;
    if (axis.z() > 0.0F)
      axis = -axis;
  }
  LOG_DEBUG("main_axis_type_: {}", type);
  LOG_DEBUG("trash_type_: {}", trash_type_);
}

float GrabPoseEstimate::GetTrashProjectWith(const CloudPtr& cloud) {
  const pcl::PointXYZ p = GetNearestPointToCamera(cloud);
  const Eigen::Vector2f cam = CameraXY();
  Eigen::Vector2f l(p.y - cam.y(), -(p.x - cam.x()));
  if (l.squaredNorm() > 0.0F) {
    l.normalize();
  }
  float lo = kFloatMax;
  float hi = -kFloatMax;
  for (const auto& q : cloud->points) {
    const float s = q.x * l.x() + q.y * l.y();
    lo = std::min(lo, s);
    hi = std::max(hi, s);
  }
  const float width = hi - lo;
  LOG_DEBUG("Length of the projected point cloud on the line (py, -px): {}", width);
  return width;
}

void GrabPoseEstimate::GetObbPose(GrabPose& obb_pose, const GrabPose& grab_pose,
                                  const Eigen::Vector3f& obb_position,
                                  const Eigen::Matrix3f& obb_rotation) {
  LOG_DEBUG("=============================GetObbBoxPose=============================");
  const Eigen::Quaterniond box_q(obb_rotation.cast<double>());
  LOG_DEBUG("base2tcpTransform: {:.6f}, {:.6f}, {:.6f}, {:.6f}", box_q.w(), box_q.x(), box_q.y(),
            box_q.z());
  Eigen::Isometry3d base_from_tcp = Eigen::Isometry3d::Identity();
  base_from_tcp.linear() = grab_pose.orientation.normalized().toRotationMatrix();
  base_from_tcp.translation() = grab_pose.position.cast<double>();
  Eigen::Isometry3d base_from_box = Eigen::Isometry3d::Identity();
  base_from_box.linear() = box_q.normalized().toRotationMatrix();
  base_from_box.translation() = obb_position.cast<double>();
  const Eigen::Isometry3d tcp_from_box = base_from_tcp.inverse() * base_from_box;
  obb_pose.position = tcp_from_box.translation().cast<float>();
  obb_pose.orientation = Eigen::Quaterniond(tcp_from_box.linear());
  LOG_DEBUG("trash obb_pose.position(ref->tcp): {:.6f}, {:.6f}, {:.6f}", obb_pose.position.x(),
            obb_pose.position.y(), obb_pose.position.z());
  LOG_DEBUG("trash obb_pose.orientation(ref->tcp): {:.6f}, {:.6f}, {:.6f}, {:.6f}",
            obb_pose.orientation.w(), obb_pose.orientation.x(), obb_pose.orientation.y(),
            obb_pose.orientation.z());
  LOG_DEBUG(kDashes);
}

// ---------------------------------------------------------------------------
// Workspace check

bool GrabPoseEstimate::IsInWorkspace(const Eigen::Vector3f& tcp) {
  const float r = std::sqrt(tcp.x() * tcp.x() + tcp.y() * tcp.y());
  const float dz = tcp.z() - arm_dh_d1_;
  const float dr = r - arm_dh_a1_;
  grab_distance_ = std::sqrt(dz * dz + dr * dr);
  grab_angle_ =
      static_cast<float>(static_cast<double>(std::atan2(tcp.y(), -tcp.x()) * 180.0F) / kPi);
  LOG_DEBUG("grab_distance_: {}", grab_distance_);
  LOG_DEBUG("grab_angle_: {}", grab_angle_);
  if (grab_distance_ < workspace_r_min_) {
    LOG_WARN("垃圾位置太近了！！");
    return false;
  }
  if (grab_distance_ > workspace_r_max_) {
    LOG_WARN("垃圾位置太远了！！");
    return false;
  }
  if (grab_angle_ < workspace_angle_min_) {
    LOG_WARN("垃圾位置太靠左了！！");
    return false;
  }
  if (grab_angle_ > workspace_angle_max_) {
    LOG_WARN("垃圾位置太靠右了！！");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Grab pose synthesis

void GrabPoseEstimate::ExtendGrabTCP(Eigen::Vector3f& tcp) {
  Eigen::Vector3f v = tcp - camera_extrinsic_.block<3, 1>(0, 3);
  if (v.squaredNorm() > 0.0F) {
    v.normalize();
  }
  extend_length_ = pca_lengths_[2] < extend_lenth_threshold_ ? pca_lengths_[2] * extra_length_ratio_
                                                             : extend_length_max_;
  tcp += extend_length_ * v;
  if (static_cast<double>(tcp.z()) < static_cast<double>(trash_lowest_z_) + 0.008) {
    LOG_WARN("tcp_.z() < (trash_lowest_z_ + 0.008)!!! tcp.z() = (trash_lowest_z_ + 0.008)");
    tcp.z() = static_cast<float>(static_cast<double>(trash_lowest_z_) + 0.008);
  }
  LOG_DEBUG("GrabTCP Extended !");
}

bool GrabPoseEstimate::ExtendsLyingGrab() const {
  // The longest extent against the double 0.1: a float 0.1F would leave a
  // piece of exactly 0.1F unextended.
  return static_cast<double>(pca_lengths_[0]) > 0.1 && trash_height_ > extend_height_threshold_;
}

void GrabPoseEstimate::AssignGrabPose(const Eigen::Vector3f& tcp, const Eigen::Quaterniond& q,
                                      GrabPose& pose) {
  pose.position = tcp;
  pose.orientation = q;
  LOG_DEBUG("grab_pose_.position: {:.6f}, {:.6f}, {:.6f}", pose.position.x(), pose.position.y(),
            pose.position.z());
  LOG_DEBUG("grab_pose_.orientation: {:.6f}, {:.6f}, {:.6f}, {:.6f}", pose.orientation.w(),
            pose.orientation.x(), pose.orientation.y(), pose.orientation.z());
}

int GrabPoseEstimate::ConditionAndMeasure(const CloudPtr& cloud) {
  PclProcessFunc(cloud, cloud);
  LOG_DEBUG("After PclProcessFunc trash_cloud size: {}", cloud->size());
  // Principal axes need at least 3 points, whatever the configured minimum.
  const std::uint32_t minimum = std::max<std::uint32_t>(min_trash_cloud_size_, 3);
  if (cloud->size() < minimum) {
    LOG_WARN("After PclProcessFunc trash_cloud size is less than {} !!!", minimum);
    return kTooFewPoints;
  }
  PCAFunc(cloud);
  if (use_pcl_reference_) {
    OBBFunc(cloud);
    AABBFunc(cloud);
  } else {
    BoxesFunc(cloud);
  }
  MinAreaRectFunc(cloud);
  grab_tcp_ = pca_center_.head<3>();
  if (!IsInWorkspace(grab_tcp_)) {
    return kOutOfWorkspace;
  }
  return 0;
}

namespace {
bool PoseIsFinite(const Eigen::Vector3f& tcp, const Eigen::Quaterniond& q) {
  return tcp.allFinite() && q.coeffs().allFinite();
}
}  // namespace

int GrabPoseEstimate::GetInitialGrabPose(const CloudPtr& cloud) {
  LOG_DEBUG("**************************GetInitialGrabPose***************************");
  if (const int code = ConditionAndMeasure(cloud); code != 0) {
    return code;
  }

  Eigen::Vector3f axis = pca_eigen_vectors_.col(0);
  GetMainaxisType(axis, main_axis_type_);
  pca_eigen_vectors_.col(0) = axis;
  // In fitted mode the position is already the piece's centre: no push along
  // the line of sight.
  const bool fitted = ApplyFittedGrabCentre(*this, *cloud);

  Eigen::Quaterniond q;
  if (main_axis_type_ == 1 || main_axis_type_ == 3) {
    grab_mainaxis_ = Eigen::Vector3f(rect_main_direction_.x(), rect_main_direction_.y(), 0.0F);
    LOG_DEBUG("grab_mainaxis_: {}, {}, {}", grab_mainaxis_.x(), grab_mainaxis_.y(),
              grab_mainaxis_.z());
    if (!fitted && ExtendsLyingGrab()) {
      ExtendGrabTCP(grab_tcp_);
    }
    // The fitted centre sets its own grab height, free of these thresholds.
    if (!fitted) {
      if (static_cast<double>(grab_tcp_.z() - trash_lowest_z_) < 0.015) {
        LOG_DEBUG("grab_tcp_.z()-trash_lowest_z_ < 0.015!!!");
        grab_tcp_.z() = trash_lowest_z_;
        LOG_DEBUG("grab_tcp_.z() = trash_lowest_z_!!!");
      }
      if (trash_height_ > tcp_ajust_threshold_ &&
          static_cast<double>(grab_tcp_.z() - trash_lowest_z_) > 0.015) {
        grab_tcp_.z() -= tcp_ajust_value_;
        LOG_DEBUG("grab_tcp_.z() -= tcp_ajust_value_;");
        if (static_cast<double>(grab_tcp_.z()) < static_cast<double>(trash_lowest_z_) + 0.005) {
          LOG_DEBUG("grab_tcp_.z() < (trash_lowest_z_ + 0.005)!!!");
          grab_tcp_.z() = static_cast<float>(static_cast<double>(trash_lowest_z_) + 0.005);
          LOG_DEBUG("grab_tcp_.z() = (trash_lowest_z_ + 0.005)!!!");
        }
      }
    }
    if (is_on_floor_) {
      grab_tcp_.z() = -base_height_;
    }
    if (!IsInWorkspace(grab_tcp_)) {
      return kOutOfWorkspace;
    }
    const float phi = std::atan2(-grab_mainaxis_.y(), grab_mainaxis_.x());
    q = kQDown * QuatRz(phi);
  } else if (main_axis_type_ == 2 || main_axis_type_ == 4) {
    grab_mainaxis_ = Eigen::Vector3f(0.0F, 0.0F, -1.0F);
    LOG_DEBUG("grab_mainaxis_: {}, {}, {}", grab_mainaxis_.x(), grab_mainaxis_.y(),
              grab_mainaxis_.z());
    if (!fitted) {
      ExtendGrabTCP(grab_tcp_);
      const Eigen::Vector2f cam = CameraXY();
      Eigen::Vector3f v_tcp(grab_tcp_.x() - cam.x(), grab_tcp_.y() - cam.y(), 0.0F);
      if (v_tcp.squaredNorm() > 0.0F) {
        v_tcp.normalize();
      }
      grab_tcp_.x() += tcp_ajust_value_ * v_tcp.x();
      LOG_DEBUG("grab_tcp_.x() += tcp_ajust_value_ * v_tcp.x() !");
      grab_tcp_.y() += tcp_ajust_value_ * v_tcp.y();
      LOG_DEBUG("grab_tcp_.y() += tcp_ajust_value_ * v_tcp.y() !");
    }
    if (!IsInWorkspace(grab_tcp_)) {
      return kOutOfWorkspace;
    }
    const float psi = -std::atan2(grab_tcp_.y(), -grab_tcp_.x());
    q = kQDown * kQSide * QuatRx(psi);
  } else {
    return kUnknownMainAxisType;
  }

  if (!PoseIsFinite(grab_tcp_, q)) {
    LOG_WARN("grab pose is not finite; the trash cloud is unusable");
    return kTooFewPoints;
  }
  AssignGrabPose(grab_tcp_, q, grab_pose_);
  GetObbPose(obb_pose_, grab_pose_, obb_position_, obb_rotation_);
  return kSuccess;
}

int GrabPoseEstimate::GetInitialGrabPoseReference(const CloudPtr& cloud) {
  const bool saved = use_pcl_reference_;
  use_pcl_reference_ = true;
  const int code = GetInitialGrabPose(cloud);
  use_pcl_reference_ = saved;
  return code;
}

int GrabPoseEstimate::GetTransparentGrabPose(const CloudPtr& cloud) {
  LOG_DEBUG("*************************GetTransparentGrabPose************************");
  if (const int code = ConditionAndMeasure(cloud); code != 0) {
    return code;
  }
  // The transparent grab is always horizontal: the record reports it as
  // standing rather than keeping the previous piece's type.
  main_axis_type_ = 2;
  grab_mainaxis_ = Eigen::Vector3f(0.0F, 0.0F, -1.0F);
  LOG_DEBUG("grab_mainaxis_: {}, {}, {}", grab_mainaxis_.x(), grab_mainaxis_.y(),
            grab_mainaxis_.z());
  const float width = GetTrashProjectWith(cloud);
  LOG_DEBUG("trash_cloud_project_width: {}", width);

  const pcl::PointXYZ p = GetNearestPointToCamera(cloud);
  const Eigen::Vector2f cam = CameraXY();
  Eigen::Vector3f u(p.x - cam.x(), p.y - cam.y(), 0.0F);
  if (u.squaredNorm() > 0.0F) {
    u.normalize();
  }
  // Half a width plus the push step behind the visible surface, as high as the
  // width suggests for a bottle.
  const float d = 0.5F * width + tcp_ajust_value_;
  grab_tcp_ = Eigen::Vector3f(p.x + d * u.x(), p.y + d * u.y(),
                              processed_trash_lowest_z_ + transparent_height_ratio_ * width);
  const float psi = -std::atan2(grab_tcp_.y(), -grab_tcp_.x());
  const Eigen::Quaterniond q = kQDown * kQSide * QuatRx(psi);
  if (!IsInWorkspace(grab_tcp_)) {
    return kOutOfWorkspace;
  }
  if (!PoseIsFinite(grab_tcp_, q)) {
    LOG_WARN("grab pose is not finite; the trash cloud is unusable");
    return kTooFewPoints;
  }
  AssignGrabPose(grab_tcp_, q, grab_pose_);
  pca_lengths_ = Eigen::Vector3f(2.0F * transparent_height_ratio_ * width, width, width);
  obb_pose_.position = Eigen::Vector3f::Zero();
  obb_pose_.orientation = Eigen::Quaterniond::Identity();
  return kSuccess;
}

}  // namespace moorwick
