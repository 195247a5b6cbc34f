# Each area adds its test executable here with stage_core_test(name sources...).
stage_core_test(codec_tests core/packet_codec_test.cpp)
stage_core_test(exchange_tests core/poll_exchange_test.cpp)
# The exchange with every axis also runs on the native backend's scripted bus.
target_link_libraries(exchange_tests PRIVATE stage_poll stage_native_usb)
target_include_directories(exchange_tests PRIVATE ${PROJECT_SOURCE_DIR})
stage_core_test(axis_tests core/modKVT_USB_test.cpp core/number_text_test.cpp core/mechanics_test.cpp
                core/command_latch_test.cpp core/travel_limits_test.cpp)
stage_core_test(sim_tests core/simulated_controllers_test.cpp core/simple_axis_model_test.cpp)
stage_core_test(servo_tests core/servo_axis_model_test.cpp core/scenario_test.cpp)
stage_core_test(scope_tests core/step_response_test.cpp core/trace_writer_test.cpp core/scope_recorder_test.cpp
                core/plot_reduction_test.cpp core/scope_csv_test.cpp core/loop_figures_test.cpp core/run_file_test.cpp
                core/step_test_test.cpp)
target_link_libraries(scope_tests PRIVATE stage_scope)
if(STAGE_BUILD_UI)
  # The program's last resort lives with its command line.
  stage_core_test(last_resort_tests core/last_resort_test.cpp)
  target_link_libraries(last_resort_tests PRIVATE stage_app_cli)
  # So is the check for a display, made before Qt is started.
  stage_core_test(display_check_tests core/display_check_test.cpp)
  target_link_libraries(display_check_tests PRIVATE stage_app_cli)
  stage_core_test(stderr_relay_tests core/stderr_relay_test.cpp)
  target_link_libraries(stderr_relay_tests PRIVATE stage_app_cli)
endif()
stage_core_test(tick_tests core/deadline_scheduler_test.cpp)
# The native USB backend's protocol logic on a scripted transport: no libusb.
stage_core_test(native_usb_tests core/native_usb_test.cpp)
target_link_libraries(native_usb_tests PRIVATE stage_native_usb)
target_include_directories(native_usb_tests PRIVATE ${PROJECT_SOURCE_DIR})
# Controller profiles: the TOML reader and writer, the files on disk.
stage_core_test(profile_tests core/profile_test.cpp core/profile_file_test.cpp core/axis_order_test.cpp
                core/admin_limits_test.cpp core/settings_form_test.cpp)
target_link_libraries(profile_tests PRIVATE stage_profile)
# The control API's protocol core against a fake console.
stage_core_test(control_tests core/control_core_test.cpp core/event_log_test.cpp)
target_link_libraries(control_tests PRIVATE stage_control)
# Referencing: scripted replies, the packets they give, the outcome.
stage_core_test(referencing_tests core/referencing_test.cpp ${PROJECT_SOURCE_DIR}/bench/allocation_count.cpp)
target_link_libraries(referencing_tests PRIVATE stage_referencing)
target_include_directories(referencing_tests PRIVATE ${PROJECT_SOURCE_DIR})
