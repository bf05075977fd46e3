#include "moorwick_sim/scene_file.hpp"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "moorwick_arm_trash_detect/core/class_vocabulary.hpp"

namespace moorwick_sim {
namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

template <typename T>
T Required(const YAML::Node& node, const std::string& key, const std::string& where) {
  const YAML::Node value = node[key];
  if (!value)
    Fail(where, "missing key '" + key + "'");
  try {
    return value.as<T>();
  } catch (const YAML::Exception&) {
    Fail(where, "key '" + key + "' has the wrong type");
  }
}

template <typename T>
T Optional(const YAML::Node& node, const std::string& key, const T& fallback,
           const std::string& where) {
  if (!node[key])
    return fallback;
  return Required<T>(node, key, where);
}

Eigen::Vector3d Vec3(const YAML::Node& node, const std::string& key, const std::string& where) {
  const auto v = Required<std::vector<double>>(node, key, where);
  if (v.size() != 3)
    Fail(where, "key '" + key + "' needs 3 numbers");
  for (double x : v) {
    if (!std::isfinite(x))
      Fail(where, "key '" + key + "' holds a non-finite number");
  }
  return {v[0], v[1], v[2]};
}

Rgb Color(const YAML::Node& node, const std::string& key, const std::string& where) {
  const auto v = Required<std::vector<int>>(node, key, where);
  if (v.size() != 3)
    Fail(where, "key '" + key + "' needs 3 values (r, g, b)");
  Rgb out{};
  for (std::size_t i = 0; i < 3; ++i) {
    if (v[i] < 0 || v[i] > 255)
      Fail(where, "key '" + key + "' values must lie in 0..255");
    out[i] = static_cast<std::uint8_t>(v[i]);
  }
  return out;
}

double Positive(const YAML::Node& node, const std::string& key, const std::string& where) {
  const double v = Required<double>(node, key, where);
  if (!(v > 0.0) || !std::isfinite(v))
    Fail(where, "key '" + key + "' must be positive");
  return v;
}

Eigen::Isometry3d PoseOf(const YAML::Node& node, const std::string& where) {
  if (!node || !node.IsMap())
    Fail(where, "needs a mapping with 'position' and 'rpy_deg'");
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = RotationFromRpyDeg(Vec3(node, "rpy_deg", where));
  pose.translation() = Vec3(node, "position", where);
  return pose;
}

ScenePiece PieceOf(const YAML::Node& node, double floor_z, const std::string& where) {
  if (!node.IsMap())
    Fail(where, "is not a mapping");
  ScenePiece piece;
  piece.class_name = Required<std::string>(node, "class", where);
  piece.class_index = ClassIndexOfName(piece.class_name);
  if (piece.class_index < 0)
    Fail(where, "unknown class '" + piece.class_name + "'");
  piece.name = Optional<std::string>(node, "name", piece.class_name, where);
  const auto kind = Required<std::string>(node, "shape", where);
  const Eigen::Vector3d position = Vec3(node, "position", where);
  if (kind == "box") {
    const Eigen::Vector3d size = Vec3(node, "size", where);
    if (!(size.minCoeff() > 0.0))
      Fail(where, "key 'size' must be positive");
    const Eigen::Vector3d rpy =
        node["rpy_deg"] ? Vec3(node, "rpy_deg", where) : Eigen::Vector3d::Zero();
    piece.shape = Shape::Box(size, position, rpy);
  } else if (kind == "cylinder") {
    const Eigen::Vector3d axis = Vec3(node, "axis", where);
    if (axis.norm() < 1e-9)
      Fail(where, "key 'axis' must not be zero");
    piece.shape = Shape::Cylinder(Positive(node, "diameter", where),
                                  Positive(node, "length", where), position, axis);
  } else {
    Fail(where, "shape '" + kind + "' is neither 'box' nor 'cylinder'");
  }
  // Pieces rest on the floor unless told otherwise; then position z is ignored.
  if (Optional<bool>(node, "on_floor", true, where))
    piece.shape = piece.shape.RestingOn(floor_z);
  piece.color = Color(node, "color", where);
  piece.transparent = Optional<bool>(node, "transparent", false, where);
  return piece;
}

}  // namespace

int ClassIndexOfName(const std::string& name) {
  for (const auto& [id, class_name] : moorwick::ClassTable()) {
    if (!name.empty() && class_name == name)
      return id - 1;
  }
  return -1;
}

SceneFile ParseSceneFile(const YAML::Node& root, const std::string& where) {
  if (!root || !root.IsMap())
    Fail(where, "is not a YAML mapping");
  SceneFile file;

  const YAML::Node camera = root["camera"];
  if (!camera || !camera.IsMap())
    Fail(where, "missing mapping 'camera'");
  const std::string cw = where + ": camera";
  PinholeCamera& cam = file.scene.camera;
  cam.width = Required<int>(camera, "width", cw);
  cam.height = Required<int>(camera, "height", cw);
  if (cam.width <= 0 || cam.height <= 0 || cam.width > 8192 || cam.height > 8192) {
    Fail(cw, "width and height must lie in 1..8192");
  }
  cam.fx = Positive(camera, "fx", cw);
  cam.fy = Positive(camera, "fy", cw);
  cam.cx = Required<double>(camera, "cx", cw);
  cam.cy = Required<double>(camera, "cy", cw);
  cam.base_from_camera = PoseOf(camera["pose_in_arm_base"], cw + ".pose_in_arm_base");
  file.camera_frame_id = Optional<std::string>(camera, "frame_id", file.camera_frame_id, cw);
  file.rate_hz = Optional<double>(camera, "rate_hz", file.rate_hz, cw);
  if (!(file.rate_hz > 0.0) || file.rate_hz > 100.0)
    Fail(cw, "rate_hz must lie in (0, 100]");

  if (const YAML::Node topics = root["topics"]) {
    const std::string tw = where + ": topics";
    file.rgb_topic = Optional<std::string>(topics, "rgb", file.rgb_topic, tw);
    file.depth_topic = Optional<std::string>(topics, "depth", file.depth_topic, tw);
    file.camera_info_topic =
        Optional<std::string>(topics, "camera_info", file.camera_info_topic, tw);
  }

  if (const YAML::Node frames = root["frames"]) {
    const std::string fw = where + ": frames";
    file.arm_base_frame_id = Optional<std::string>(frames, "arm_base", file.arm_base_frame_id, fw);
    file.map_frame_id = Optional<std::string>(frames, "map", file.map_frame_id, fw);
    if (frames["arm_base_in_map"]) {
      file.map_from_arm_base = PoseOf(frames["arm_base_in_map"], fw + ".arm_base_in_map");
    }
  }

  const YAML::Node floor = root["floor"];
  if (!floor || !floor.IsMap())
    Fail(where, "missing mapping 'floor'");
  file.scene.floor_z = Required<double>(floor, "z", where + ": floor");
  file.scene.floor_color = Color(floor, "color", where + ": floor");

  if (const YAML::Node noise = root["noise"]) {
    const std::string nw = where + ": noise";
    file.render.seed = Optional<std::uint32_t>(noise, "seed", file.render.seed, nw);
    file.render.depth_sigma_m = Optional<double>(noise, "depth_sigma_mm", 0.0, nw) / 1000.0;
    file.render.color_noise = Optional<int>(noise, "color", 0, nw);
    file.render.transparent_return_fraction = Optional<double>(
        noise, "transparent_return_fraction", file.render.transparent_return_fraction, nw);
    if (file.render.depth_sigma_m < 0.0 || file.render.color_noise < 0 ||
        file.render.color_noise > 255 || file.render.transparent_return_fraction < 0.0 ||
        file.render.transparent_return_fraction > 1.0) {
      Fail(nw, "noise values out of range");
    }
  }

  const YAML::Node pieces = root["pieces"];
  if (pieces) {
    if (!pieces.IsSequence())
      Fail(where, "'pieces' must be a list");
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      file.scene.pieces.push_back(
          PieceOf(pieces[i], file.scene.floor_z, where + ": pieces[" + std::to_string(i) + "]"));
    }
  }
  return file;
}

SceneFile LoadSceneFile(const std::string& path) {
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception& e) {
    Fail(path, std::string("cannot be read as YAML: ") + e.what());
  }
  return ParseSceneFile(root, path);
}

}  // namespace moorwick_sim
