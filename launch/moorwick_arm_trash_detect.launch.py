"""Start the detection node with the configuration installed in its share directory."""

from launch import LaunchDescription
from launch_ros.actions import Node


def generate_launch_description():
    return LaunchDescription([
        Node(
            package='moorwick_arm_trash_detect',
            executable='moorwick_arm_trash_detect_node',
            output='screen',
        ),
    ])
