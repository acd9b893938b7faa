# Unit tests of the interface: theme, tray icon, balloons and the main
# window's commands, with real GDI, real windows and the prefix's registry; the shell
# and the shutdown request are stood in for.
corvane_add_unit_test(ui_tests
  unit/theme_test.cpp
  unit/tray_test.cpp
  unit/window_test.cpp
  unit/notify_test.cpp)
