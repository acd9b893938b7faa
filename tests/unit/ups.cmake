# The UPS access code against the emulated UPS, through Wine's own HID class
# driver and parser. The program installs the emulator's driver into the
# prefix when it is missing, from CORVANE_EMU_DIR, and owns every emulator
# slot while it runs: nothing else may add devices to the prefix meanwhile.
corvane_add_unit_test(ups_tests unit/ups_voltage_test.cpp unit/ups_test.cpp LIBRARIES emu_client)
add_dependencies(ups_tests emu_driver)
set_tests_properties(ups_tests PROPERTIES
  ENVIRONMENT "CORVANE_EMU_DIR=Z:${CMAKE_BINARY_DIR}/emu"
  RESOURCE_LOCK emulated_ups)
