"""The camera viewer: a live camera or a recording as a local web page.

``Viewer`` serves a source in the background; ``serve`` runs it until
SIGINT or SIGTERM (the ``vorn-camera view`` command).
"""

from .server import Viewer, serve

__all__ = ["Viewer", "serve"]
