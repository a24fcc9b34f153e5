"""``python -m vorn_camera_sdk``: the ``vorn-camera`` command-line tool."""

import sys

from .cli import main

sys.exit(main())
