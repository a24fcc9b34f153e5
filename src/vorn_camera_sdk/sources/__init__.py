"""Frame sources: live cameras, recordings, and the ``source=`` argument resolver."""
