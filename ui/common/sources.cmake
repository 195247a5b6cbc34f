target_sources(stage_ui PRIVATE
  common/command_button.cpp
  common/fonts.cpp
  common/program_exit.cpp)
