# The monitor thread soaked in-process against the emulated UPS, its heap
# blocks, handles and GDI objects counted exactly. Shares the emulator's
# slots with ups_tests, so the two never run at once.
corvane_add_unit_test(soak_tests unit/soak_test.cpp LIBRARIES emu_client)
add_dependencies(soak_tests emu_driver)
set_tests_properties(soak_tests PROPERTIES
  ENVIRONMENT "CORVANE_EMU_DIR=Z:${CMAKE_BINARY_DIR}/emu"
  RESOURCE_LOCK emulated_ups)
