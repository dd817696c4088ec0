# Tests of reliability: fuzz corpus replay and fault injection.
kov_test(tests/fuzz/fuzz_replay_test.cpp fuzz_checks)
target_compile_definitions(fuzz_replay_test PRIVATE FUZZ_DIR="${CMAKE_SOURCE_DIR}/tests/fuzz")

kov_test(tests/fault_test.cpp kov)
target_sources(fault_test PRIVATE tests/fault_support.cpp)

# The slow fault-injection tests: labelled slow, so `make test` leaves them
# to `make test-slow` and CI.
kov_test(tests/fault_slow_test.cpp SLOW kov)
target_sources(fault_slow_test PRIVATE tests/fault_support.cpp)
