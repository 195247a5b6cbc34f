# The Scope: its own library, so that only the program and its tests link the
# plotting library.
# Its package config names Qt6::PrintSupport without looking for it.
find_package(Qt6 REQUIRED COMPONENTS PrintSupport)
find_package(QCustomPlotQt6 REQUIRED)
add_library(stage_scope_ui STATIC scope/frmScope.cpp scope/frmScope_runs.cpp scope/frmScope.h scope/frmScope_tuning.cpp
  scope/trace_renderer.cpp scope/trace_renderer.h scope/trace_layer.h scope/background_thread.h
  scope/scope_step_test.cpp scope/scope_step_test.h scope/plot_cursors.cpp scope/plot_cursors.h scope/scope_text.h)
set_target_properties(stage_scope_ui PROPERTIES AUTOMOC ON)
target_link_libraries(stage_scope_ui PUBLIC stage_ui stage_scope QCustomPlotQt6::QCustomPlotQt6 PRIVATE stage_warnings)
