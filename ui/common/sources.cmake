target_sources(stage_ui PRIVATE
  common/command_button.cpp
  common/family_elements.cpp
  common/fonts.cpp
  common/held_key.cpp
  common/key_repeat.cpp
  common/lamp.cpp
  common/outside_end.cpp
  common/panel_cache_style.cpp
  common/profile_session.cpp
  common/program_exit.cpp
  common/tuning_slider.cpp
  common/window_fit.cpp
  common/window_icon.cpp)
