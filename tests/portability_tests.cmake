# Tests of the portability layer, one kov_test() line per test file.
