# The status panel, the load dial and the history chart drawn with real GDI
# into bitmaps of the tests' own, at 96 and 144 DPI, and read back pixel by
# pixel; the dial's and the chart's geometry called directly.
corvane_add_unit_test(panel_tests
  unit/panel_test.cpp
  unit/dial_test.cpp
  unit/chart_test.cpp
  LIBRARIES ntdll)
# The panel tool: the panel of a chosen state as a PNG, and the paint's
# timing and resource figures (tests/tools/panelshot.cpp). Not a test itself.
add_executable(panelshot tools/panelshot.cpp)
target_link_libraries(panelshot PRIVATE corvane_core ${CORVANE_SYSTEM_LIBRARIES} ntdll)
target_link_options(panelshot PRIVATE -static -municode)
target_compile_options(panelshot PRIVATE -Wall -Wextra -Werror)
set_target_properties(panelshot PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
