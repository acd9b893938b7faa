# The product's monitor thread in process against the emulated UPS, with the
# shutdown requests stood in for: what each pass announces to the window.
# Shares the emulator's slots with ups_tests.
corvane_add_unit_test(monitor_thread_tests unit/monitor_thread_test.cpp LIBRARIES emu_client)
add_dependencies(monitor_thread_tests emu_driver)
set_tests_properties(monitor_thread_tests PROPERTIES
  ENVIRONMENT "CORVANE_EMU_DIR=Z:${CMAKE_BINARY_DIR}/emu"
  RESOURCE_LOCK emulated_ups)
