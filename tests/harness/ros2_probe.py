"""A ROS 2 peer in a process of its own, for the node's tests.

``python -m harness.ros2_probe listen NS SECONDS N [depth]`` subscribes
(sensor-data QoS for images, reliable for camera info) to both eyes' raw and
compressed images and camera info under namespace NS (with "depth": to the
depth image and its camera info as well), prints "ready", then one JSON line
per message until every topic has N messages or SECONDS pass.

``python -m harness.ros2_probe param NODE NAME VALUE`` sets one integer
parameter of NODE and prints {"successful": ..., "reason": ...}.

The caller sets ROS_DOMAIN_ID, ROS_LOCALHOST_ONLY=1 and
ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST.
"""

from __future__ import annotations

import base64
import json
import sys
import time

import rclpy
from rclpy.qos import QoSProfile, qos_profile_sensor_data
from sensor_msgs.msg import CameraInfo, CompressedImage, Image


def listen(namespace: str, seconds: float, count: int, depth: bool = False) -> None:
    rclpy.init()
    node = rclpy.create_node("probe")
    got: dict[str, int] = {}

    def handler(topic: str):
        def on_message(msg) -> None:
            if got.get(topic, 0) >= count:
                return
            got[topic] = got.get(topic, 0) + 1
            out = {"topic": topic, "stamp": msg.header.stamp.sec + msg.header.stamp.nanosec * 1e-9,
                   "stamp_ns": msg.header.stamp.sec * 1_000_000_000 + msg.header.stamp.nanosec,
                   "frame_id": msg.header.frame_id, "received": time.time()}
            if isinstance(msg, Image):
                out.update(width=msg.width, height=msg.height, encoding=msg.encoding, step=msg.step,
                           data=base64.b64encode(bytes(msg.data)).decode())
            elif isinstance(msg, CompressedImage):
                out.update(format=msg.format, data=base64.b64encode(bytes(msg.data)).decode())
            else:
                out.update(width=msg.width, height=msg.height, distortion_model=msg.distortion_model,
                           d=list(msg.d), k=list(msg.k), r=list(msg.r), p=list(msg.p))
            print(json.dumps(out), flush=True)
        return on_message

    for eye in ("left", "right"):
        for suffix, kind, qos in (("image_raw", Image, qos_profile_sensor_data),
                                  ("image_raw/compressed", CompressedImage, qos_profile_sensor_data),
                                  ("camera_info", CameraInfo, QoSProfile(depth=10))):
            topic = f"{namespace}/{eye}/{suffix}"
            node.create_subscription(kind, topic, handler(topic), qos)
    topics = 6
    if depth:
        node.create_subscription(Image, f"{namespace}/depth/image_rect", handler(f"{namespace}/depth/image_rect"),
                                 qos_profile_sensor_data)
        node.create_subscription(CameraInfo, f"{namespace}/depth/camera_info",
                                 handler(f"{namespace}/depth/camera_info"), QoSProfile(depth=10))
        topics = 8
    print("ready", flush=True)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not (len(got) == topics and min(got.values()) >= count):
        rclpy.spin_once(node, timeout_sec=0.1)
    node.destroy_node()
    rclpy.shutdown()


def set_param(node_name: str, name: str, value: int) -> None:
    from rcl_interfaces.msg import Parameter, ParameterType, ParameterValue
    from rcl_interfaces.srv import SetParameters

    rclpy.init()
    node = rclpy.create_node("probe_param")
    client = node.create_client(SetParameters, f"{node_name}/set_parameters")
    if not client.wait_for_service(timeout_sec=30):
        print(json.dumps({"successful": False, "reason": "no parameter service"}), flush=True)
        return
    request = SetParameters.Request(parameters=[Parameter(name=name, value=ParameterValue(
        type=ParameterType.PARAMETER_INTEGER, integer_value=value))])
    future = client.call_async(request)
    rclpy.spin_until_future_complete(node, future, timeout_sec=30)
    result = future.result().results[0]
    print(json.dumps({"successful": result.successful, "reason": result.reason}), flush=True)
    node.destroy_node()
    rclpy.shutdown()


if __name__ == "__main__":
    if sys.argv[1] == "listen":
        listen(sys.argv[2], float(sys.argv[3]), int(sys.argv[4]), sys.argv[5:] == ["depth"])
    else:
        set_param(sys.argv[2], sys.argv[3], int(sys.argv[4]))
