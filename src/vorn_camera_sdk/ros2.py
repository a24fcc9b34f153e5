"""The camera as a ROS 2 node: both eyes' images, camera info and the stereo
transform on topics, camera controls as parameters.

Topics, under the node's namespace, in the layout the stereo tools expect:

- ``left/image_raw`` and ``right/image_raw`` (``sensor_msgs/Image``, bgr8),
  decoded only while someone subscribes to them;
- ``left/image_raw/compressed`` and ``right/image_raw/compressed``
  (``sensor_msgs/CompressedImage``, jpeg), each eye cut out of the camera's
  side-by-side MJPG frame losslessly, never decoded;
- ``left/camera_info`` and ``right/camera_info`` from the factory calibration
  scaled to the mode, rectified (``stereo_info``);
- ``/tf_static``: the right optical frame in the left one (published where
  the ``tf2_msgs`` message package is installed).

Images go out with the sensor-data QoS (best effort, the last few); camera
info reliably, so subscribers of either kind get it. ``header.stamp`` is the
frame's kernel capture time moved onto the system clock; a recording is
replayed at its own pace with its capture times moved to the replay's start.

Each control of the camera's catalog is a parameter of its name, with the
catalog's range (and menu, in its description); ``ros2 param set`` changes it
while streaming. A value the camera or the menu refuses fails the parameter
set with the reason.
"""

from __future__ import annotations

import importlib
import logging
import threading
import time
from typing import TYPE_CHECKING, Any, Optional

from .mcap_recording import DEFAULT_FRAME_PREFIX, frame_ids, import_jpeg

if TYPE_CHECKING:
    from .cameras.camera_spec import CameraControl, CaptureMode

ROS2_EXTRA_HINT = "pip install 'vorn-camera-sdk[ros2]'"
NODE_NAME = "vorn_camera"

_LOGGER = logging.getLogger(__name__)


def import_rclpy() -> Any:
    """import_rclpy() -> module

    rclpy, imported on demand. Without it an ImportError says which extra to
    install.
    """
    try:
        return importlib.import_module("rclpy")
    except ImportError as exc:
        raise ImportError(f"the ROS 2 node needs rclpy and the ROS 2 messages: {ROS2_EXTRA_HINT}",
                          name=exc.name) from exc


def _time_msg(seconds: float) -> Any:
    from builtin_interfaces.msg import Time

    nanoseconds = round(seconds * 1e9)
    return Time(sec=nanoseconds // 1_000_000_000, nanosec=nanoseconds % 1_000_000_000)


def _camera_info(info: Any, header: Any) -> Any:
    from sensor_msgs.msg import CameraInfo

    msg = CameraInfo()
    msg.header = header
    msg.width, msg.height, msg.distortion_model = info.width, info.height, info.distortion_model
    msg.d, msg.k, msg.r, msg.p = list(info.d), list(info.k), list(info.r), list(info.p)
    return msg


def open_camera_source(source: Any = None, *, mode: Optional[str] = None, reconnect: Optional[float] = None) -> Any:
    """open_camera_source(source=None, *, mode: Optional[str] = None, reconnect: Optional[float] = None) -> FrameSource

    The source the node streams: anything ``resolve_source_arg`` takes. A
    live camera is opened in ``mode`` (default: its default mode) with the
    freshest-frame policy and, with ``reconnect``, waits that many seconds
    for an unplugged camera to come back. A recording is returned as it is.
    """
    from .recording import parse_mode
    from .sources.camera_source import CameraSource
    from .sources.factory import resolve_source_arg

    resolved = resolve_source_arg(source)
    if not isinstance(resolved, CameraSource):
        if mode is not None or reconnect is not None:
            raise ValueError(f"{resolved!r} is a recording: --mode and --reconnect apply to cameras")
        return resolved
    chosen = parse_mode(mode, resolved.record.spec) if mode is not None else resolved.mode
    return CameraSource(resolved.record, chosen, latest=True, reconnect=reconnect)


class CameraNode:
    """A ROS 2 node publishing one stereo camera source.

    ``CameraNode(source, *, namespace="", frame_prefix="camera_",
    node_name="vorn_camera")`` takes a built source (``open_camera_source``)
    and starts nothing; ``start()`` starts the node's executor and the
    publishing thread, ``wait()`` blocks until the source ends (a recording's
    end, or an unplug without reconnect), ``close()`` stops both and closes
    the source. The node runs in a ROS context of its own.
    """

    def __init__(self, source: Any, *, namespace: str = "", frame_prefix: str = DEFAULT_FRAME_PREFIX,
                 node_name: str = NODE_NAME, depth: Optional[str] = None) -> None:
        """__init__(source, *, namespace: str = "", frame_prefix: str = "camera_", node_name: str = "vorn_camera", depth: Optional[str] = None) -> None

        ``depth``: a preset of ``depth.DepthEstimator`` ("fast", "quality")
        to publish ``depth/image_rect`` (32FC1 metres, NaN where nothing
        matched, in the left rectified eye) and ``depth/camera_info`` as
        well, computed only while someone subscribes to the depth image.
        """
        rclpy = import_rclpy()
        from rclpy.executors import SingleThreadedExecutor
        from rclpy.qos import QoSProfile, qos_profile_sensor_data
        from sensor_msgs.msg import CameraInfo, CompressedImage, Image

        from .sources.camera_source import CameraSource

        self.source = source
        self._live = isinstance(source, CameraSource)
        mode = source.mode
        if mode is None or not mode.stereo:
            raise ValueError(f"{source!r} is not a stereo source with a known capture mode")
        self.mode: "CaptureMode" = mode
        self.left_frame, self.right_frame = frame_ids(frame_prefix)
        self.error: Optional[BaseException] = None
        self.published = 0
        self._stop = threading.Event()
        self._context = rclpy.Context()
        rclpy.init(context=self._context)
        try:
            self.node = rclpy.create_node(node_name, namespace=namespace or None, context=self._context)
            self._executor = SingleThreadedExecutor(context=self._context)
            self._executor.add_node(self.node)
            sensor, reliable = qos_profile_sensor_data, QoSProfile(depth=10)
            self._raw = [self.node.create_publisher(Image, f"{eye}/image_raw", sensor) for eye in ("left", "right")]
            self._compressed = [self.node.create_publisher(CompressedImage, f"{eye}/image_raw/compressed", sensor)
                                for eye in ("left", "right")]
            self._info_pubs = [self.node.create_publisher(CameraInfo, f"{eye}/camera_info", reliable)
                               for eye in ("left", "right")]
            record = getattr(source, "record", None)
            self._infos = self._camera_infos(record)
            self._depth: Optional[tuple[Any, Any, Any, Any]] = None
            if depth is not None:
                self._depth = self._depth_publishing(record, depth, sensor, reliable)
            self._publish_static_transform(record)
            self._controls: Any = None
            if record is not None and self._live:
                self._declare_controls(record.spec.controls)
        except BaseException:
            self._context.try_shutdown()
            raise
        self._spinner = threading.Thread(target=self._spin, name="vorn-ros2-executor", daemon=True)
        self._pump = threading.Thread(target=self._publish_frames, name="vorn-ros2-frames", daemon=True)

    # -- set-up ------------------------------------------------------------------------------

    def _camera_infos(self, record: Any) -> Optional[tuple[Any, Any]]:
        if record is None:
            _LOGGER.warning("%r carries no calibration: no camera_info is published", self.source)
            return None
        from .stereo_info import stereo_camera_info

        try:
            return stereo_camera_info(record.base_calibration, self.mode)
        except ValueError as exc:  # a mode whose eyes the calibration does not describe
            _LOGGER.warning("no camera_info is published: %s", exc)
            return None

    def _depth_publishing(self, record: Any, preset: str, sensor: Any, reliable: Any) -> tuple[Any, Any, Any, Any]:
        # (estimator, image publisher, info publisher, the depth images' camera info)
        from sensor_msgs.msg import CameraInfo, Image

        from .depth import DepthEstimator
        from .stereo_info import EyeInfo

        if record is None:
            raise ValueError(f"{self.source!r} carries no calibration: depth needs the camera's facts")
        estimator = DepthEstimator(record.base_calibration, self.mode, preset=preset)
        width, height = estimator.size
        p = estimator.rectifier.projections[0]
        # The rectified left eye: no distortion, no rotation, its projection.
        info = EyeInfo(width, height, (0.0,) * 5, tuple(float(v) for v in p[:, :3].ravel()),
                       (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0), tuple(float(v) for v in p.ravel()),
                       distortion_model="plumb_bob")
        return (estimator, self.node.create_publisher(Image, "depth/image_rect", sensor),
                self.node.create_publisher(CameraInfo, "depth/camera_info", reliable), info)

    def _publish_static_transform(self, record: Any) -> None:
        if record is None:
            return
        try:
            from tf2_msgs.msg import TFMessage
        except ImportError:
            _LOGGER.warning("tf2_msgs is not installed: the left-to-right transform is not published on /tf_static")
            return
        from geometry_msgs.msg import TransformStamped
        from rclpy.qos import DurabilityPolicy, QoSProfile

        from .stereo_info import stereo_transform

        pose = stereo_transform(record.base_calibration)
        tf = TransformStamped()
        tf.header.stamp = _time_msg(time.time())
        tf.header.frame_id, tf.child_frame_id = self.left_frame, self.right_frame
        (tf.transform.translation.x, tf.transform.translation.y, tf.transform.translation.z) = pose.translation
        (tf.transform.rotation.x, tf.transform.rotation.y, tf.transform.rotation.z,
         tf.transform.rotation.w) = pose.rotation
        latched = QoSProfile(depth=1, durability=DurabilityPolicy.TRANSIENT_LOCAL)
        self._tf_pub = self.node.create_publisher(TFMessage, "/tf_static", latched)
        self._tf_pub.publish(TFMessage(transforms=[tf]))

    def _declare_controls(self, catalog: tuple["CameraControl", ...]) -> None:
        from rcl_interfaces.msg import IntegerRange, ParameterDescriptor, ParameterType
        from rcl_interfaces.msg import SetParametersResult

        controls = self.source.controls
        self._controls = controls
        self._catalog = {control.name: control for control in catalog}
        for control in catalog:
            current = controls.get(control.name)
            value = int(current) if current is not None else control.default
            description = control.label + (f" ({control.unit})" if control.unit else "")
            if control.enum_values:
                description += "; one of " + ", ".join(f"{v}={label}" for v, label in control.enum_values)
            if control.value_type == "bool":
                descriptor = ParameterDescriptor(type=ParameterType.PARAMETER_BOOL, description=description)
                self.node.declare_parameter(control.name, bool(value), descriptor)
            else:
                span = IntegerRange(from_value=control.min, to_value=control.max, step=max(control.step, 1))
                descriptor = ParameterDescriptor(type=ParameterType.PARAMETER_INTEGER, description=description,
                                                 integer_range=[span])
                self.node.declare_parameter(control.name, value, descriptor)

        def on_set(parameters: list) -> SetParametersResult:
            for parameter in parameters:
                control = self._catalog.get(parameter.name)
                if control is None:
                    continue
                value = int(parameter.value)
                if control.enum_values and value not in {v for v, _ in control.enum_values}:
                    menu = ", ".join(f"{v}={label}" for v, label in control.enum_values)
                    return SetParametersResult(successful=False,
                                               reason=f"{control.name}={value} is not on its menu ({menu})")
                try:
                    done = controls.set(control.name, value)
                except (OSError, ValueError) as exc:
                    return SetParametersResult(successful=False, reason=f"cannot set {control.name}: {exc}")
                if not done:
                    return SetParametersResult(
                        successful=False, reason=f"the camera refused {control.name}={value} "
                        f"(it may be under automatic control: see {control.auto_companion})"
                        if control.auto_companion else f"the camera refused {control.name}={value}")
            return SetParametersResult(successful=True)

        self.node.add_on_set_parameters_callback(on_set)

    # -- running -------------------------------------------------------------------------------

    def start(self) -> "CameraNode":
        """start() -> CameraNode: start spinning the node and publishing frames; the node itself."""
        self._spinner.start()
        self._pump.start()
        return self

    def wait(self, timeout: Optional[float] = None) -> bool:
        """wait(timeout: Optional[float] = None) -> bool: whether the source ended within ``timeout``."""
        self._pump.join(timeout)
        return not self._pump.is_alive()

    def _spin(self) -> None:
        while not self._stop.is_set() and self._context.ok():
            try:
                self._executor.spin_once(timeout_sec=0.1)
            except Exception:  # the context shut down under the executor
                if not self._stop.is_set():
                    raise
                return

    def _publish_frames(self) -> None:
        jpeg = import_jpeg()

        live = self._live
        offset = time.time() - time.monotonic()
        measured = time.monotonic()
        began: Optional[float] = None
        try:
            packets = self.source.packets()
            for packet in packets:
                if self._stop.is_set():
                    break
                if live:
                    if time.monotonic() - measured >= 1.0:  # follows changes of the system clock
                        offset, measured = time.time() - time.monotonic(), time.monotonic()
                    stamp = packet.timestamp + offset
                else:  # a recording: at its own pace, from now
                    if began is None:
                        began = time.time() - packet.timestamp
                    delay = began + packet.timestamp - time.time()
                    if delay > 0 and self._stop.wait(delay):
                        break
                    stamp = began + packet.timestamp
                self._publish(packet, stamp, jpeg)
        except BaseException as exc:  # reported by run() and the CLI
            if not self._stop.is_set():
                self.error = exc
                _LOGGER.error("streaming stopped: %s", exc)

    def _publish(self, packet: Any, stamp: float, jpeg: Any) -> None:
        from sensor_msgs.msg import CompressedImage, Image
        from std_msgs.msg import Header

        time_msg = _time_msg(stamp)
        headers = [Header(stamp=time_msg, frame_id=frame) for frame in (self.left_frame, self.right_frame)]
        mjpg = self.mode.fourcc == "MJPG"
        if mjpg and any(pub.get_subscription_count() for pub in self._compressed):
            for pub, header, data in zip(self._compressed, headers, jpeg.split_stereo(bytes(packet.data))):
                pub.publish(CompressedImage(header=header, format="jpeg", data=data))
        if any(pub.get_subscription_count() for pub in self._raw):
            image = self._decode(packet, jpeg)
            if image is not None:
                half = image.shape[1] // 2
                for pub, header, view in zip(self._raw, headers, (image[:, :half], image[:, half:2 * half])):
                    if pub.get_subscription_count():
                        msg = Image(header=header, height=view.shape[0], width=view.shape[1], encoding="bgr8",
                                    is_bigendian=0, step=view.shape[1] * 3)
                        msg.data = view.tobytes()
                        pub.publish(msg)
        if self._infos is not None:
            for pub, header, info in zip(self._info_pubs, headers, self._infos):
                pub.publish(_camera_info(info, header))
        if self._depth is not None and self._depth[1].get_subscription_count():
            estimator, image_pub, info_pub, info = self._depth
            try:
                depth = estimator.compute(packet).depth
            except ValueError:
                depth = None  # a damaged frame is skipped
            if depth is not None:
                msg = Image(header=headers[0], height=depth.shape[0], width=depth.shape[1], encoding="32FC1",
                            is_bigendian=0, step=depth.shape[1] * 4)
                msg.data = depth.tobytes()
                image_pub.publish(msg)
                info_pub.publish(_camera_info(info, headers[0]))
        self.published += 1

    def _decode(self, packet: Any, jpeg: Any) -> Any:
        if self.mode.fourcc == "MJPG":
            try:
                return jpeg.decode_bgr(bytes(packet.data))
            except ValueError:
                return None  # a damaged frame is skipped
        from .recording import decode_packet

        return decode_packet(packet, self.mode).to_ndarray(format="bgr24")

    def close(self) -> None:
        """close() -> None: stop publishing, close the source, shut the node down. Closing twice is harmless."""
        self._stop.set()
        self.source.close()
        for thread in (self._pump, self._spinner):
            if thread.is_alive() and thread is not threading.current_thread():
                thread.join(10)
        if self._context.ok():
            self._executor.shutdown(timeout_sec=1)
            self.node.destroy_node()
            self._context.try_shutdown()

    def __enter__(self) -> "CameraNode":
        """__enter__() -> CameraNode: the node itself."""
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()
