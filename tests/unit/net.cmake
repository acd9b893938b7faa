# Unit tests of net/: the protocol core's answers and the address texts.
corvane_add_unit_test(net_tests unit/net_test.cpp)
