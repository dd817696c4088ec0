# Tests of the portability layer, one kov_test() line per test file.
kov_test(tests/strings_test.cpp portability)
kov_test(tests/getpass_test.cpp portability util)
