-- Replaces the desktop's file of this name: everything it enables but the
-- monitors of ALSA, V4L2 and libcamera, which would bring the machine's own
-- sound cards and cameras into the tests' server.
load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
