# Each area adds its test executable here with stage_core_test(name sources...).
