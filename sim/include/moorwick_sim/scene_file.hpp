// Scene files: a virtual RGB-D camera's world in YAML (camera, frames, floor,
// pieces, noise, topics), read by the simulated camera and the tests.
#pragma once

#include <Eigen/Geometry>
#include <string>

#include "moorwick_sim/scene_render.hpp"

namespace YAML {
class Node;
}

namespace moorwick_sim {

struct SceneFile {
  SceneDescription scene;
  RenderOptions render;
  std::string camera_frame_id{"camera_color_optical_frame"};
  std::string arm_base_frame_id{"arm_base_link"};
  std::string map_frame_id{"map"};
  Eigen::Isometry3d map_from_arm_base{Eigen::Isometry3d::Identity()};
  std::string rgb_topic{"/camera/color/image_raw"};
  std::string depth_topic{"/camera/aligned_depth_to_color/image_raw"};
  std::string camera_info_topic{"/camera/color/camera_info"};
  double rate_hz{10.0};
};

// Throws std::runtime_error naming the file and the offending key.
SceneFile LoadSceneFile(const std::string& path);
// `where` names the source in error messages.
SceneFile ParseSceneFile(const YAML::Node& root, const std::string& where);

// Class index (0-based, model numbering) of a class name of the node's class
// table; -1 when the name is unknown.
int ClassIndexOfName(const std::string& name);

}  // namespace moorwick_sim
