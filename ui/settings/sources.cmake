# The Axis Settings window (F2): mechanics, wiring, limits and referencing of
# each axis while the console polls, and a controller's profile to and from
# a file.
target_sources(stage_ui PRIVATE
  settings/frmAxisSettings.cpp
  settings/frmAxisSettings.h
  settings/saved_tuning.h)
