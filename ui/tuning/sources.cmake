target_sources(stage_ui PRIVATE
  tuning/frmXCtrl0.cpp
  tuning/frmXCtrl0.h)
