# The interface files of moorwick_protocol, relative to this folder; shared by
# the ROS 2 (rosidl) build and this repository's own generator.
set(MOORWICK_PROTOCOL_INTERFACES
  msg/TrashInfo.msg
  msg/TrashCloud.msg
  msg/GrabTrashCloud.msg
  srv/ArmTrashPose.srv)
