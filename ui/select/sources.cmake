target_sources(stage_ui PRIVATE
  select/frmSelect.cpp
  select/frmSelect.h)
