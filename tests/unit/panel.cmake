# The status panel, the load dial and the history chart drawn with real GDI
# into bitmaps of the tests' own, at 96 and 144 DPI, and read back pixel by
# pixel; the dial's and the chart's geometry called directly.
corvane_add_unit_test(panel_tests
  unit/panel_test.cpp
  unit/dial_test.cpp
  unit/chart_test.cpp
  LIBRARIES ntdll)
