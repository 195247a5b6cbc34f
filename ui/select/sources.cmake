target_sources(stage_ui PRIVATE
  select/frmSelect.cpp
  select/frmSelect_profiles.cpp
  select/frmSelect.h)
