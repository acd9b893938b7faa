# Unit tests of monitor/, upsoff/ and app/settings: the history ring, the
# shutdown controller behind its system-call table, the pure parts of a
# monitor pass and of its wait for input reports, the output-off decision,
# and ReadSettings against the prefix's registry.
corvane_add_unit_test(monitor_tests
  unit/history_test.cpp
  unit/shutdown_test.cpp
  unit/monitor_pass_test.cpp
  unit/input_wait_test.cpp
  unit/settings_test.cpp
  unit/upsoff_test.cpp)
