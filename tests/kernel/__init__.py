"""The SDK against the real Linux kernel: a QEMU guest with USB/IP cameras.

The host side (tests/test_kernel.py) prepares a Debian kernel and an
initramfs (``assets``), starts the USB/IP camera server (``usbip_camera``) and
a device-info server, boots the guest (``guest``) and reads the in-guest
results back from the serial console. In the guest, ``scenario`` runs under
pytest against the real ``uvcvideo`` driver; ``vhci`` plugs cameras in.
"""
