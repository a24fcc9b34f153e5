"""VORN camera SDK: discovery, model catalog, controls and frame sources for
VORN USB stereo (depth) cameras on Linux."""
