target_sources(selvar_unit_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/housekeeping/status_document_test.cpp
  ${CMAKE_SOURCE_DIR}/housekeeping/scheduler_test.cpp
  ${CMAKE_SOURCE_DIR}/events/submit_event_test.cpp
  ${CMAKE_SOURCE_DIR}/core/service_core_test.cpp
  ${CMAKE_SOURCE_DIR}/app/log_syslog_test.cpp
  ${CMAKE_SOURCE_DIR}/app/dispatch_watch_test.cpp
  ${CMAKE_SOURCE_DIR}/app/crash_report_test.cpp
  ${CMAKE_SOURCE_DIR}/app/stop_signals_test.cpp
)
# Integration tests that start a core over test modules (tests/modules).
target_sources(selvar_unit_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/pluginhost/plugin_thread_test.cpp
  ${CMAKE_SOURCE_DIR}/events/request_road_test.cpp
  ${CMAKE_SOURCE_DIR}/events/drain_event_queue_test.cpp
  ${CMAKE_SOURCE_DIR}/events/provider_pacing_test.cpp
  ${CMAKE_SOURCE_DIR}/core/service_lifecycle_test.cpp
)
# Low-level pieces: threading layer, registries, call tracking, module record.
target_sources(selvar_unit_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/compat/pt_test.cpp
  ${CMAKE_SOURCE_DIR}/core/buffer_registry_test.cpp
  ${CMAKE_SOURCE_DIR}/core/event_queue_test.cpp
  ${CMAKE_SOURCE_DIR}/events/wait_registry_test.cpp
  ${CMAKE_SOURCE_DIR}/pluginhost/call_tracker_test.cpp
  ${CMAKE_SOURCE_DIR}/pluginhost/module_calls_test.cpp
  ${CMAKE_SOURCE_DIR}/pluginhost/plugin_info_test.cpp
)
