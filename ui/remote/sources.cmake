# The control API's side of the windows: the console as the protocol sees
# it, the local socket, and the "Remote" window. Its own library, so that
# only the program and its tests link the socket server.
add_library(stage_remote_ui STATIC
  remote/main_window_port.cpp remote/main_window_port.h
  remote/remote_console.cpp remote/remote_console.h
  remote/frmRemote.cpp remote/frmRemote.h)
set_target_properties(stage_remote_ui PROPERTIES AUTOMOC ON)
target_link_libraries(stage_remote_ui PUBLIC stage_ui stage_control stage_control_qt PRIVATE stage_warnings)
