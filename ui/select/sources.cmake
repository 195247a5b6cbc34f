target_sources(stage_ui PRIVATE)
