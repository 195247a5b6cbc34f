target_sources(stage_ui PRIVATE
  main/frmMain.cpp
  main/frmMain_commands.cpp
  main/frmMain_polling.cpp
  main/frmMain_referencing.cpp
  main/frmMain.h
  main/event_recorder.cpp
  main/event_recorder.h
  main/referencing_runner.cpp
  main/referencing_runner.h)
# The credit line names the version when the program sets none of its own.
set_source_files_properties(main/frmMain.cpp PROPERTIES
  COMPILE_DEFINITIONS "STAGE_CONSOLE_VERSION=\"${PROJECT_VERSION}\"")
