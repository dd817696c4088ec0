# Tests of reliability: fuzz corpus replay and fault injection.
kov_test(tests/fuzz/fuzz_replay_test.cpp fuzz_checks)
target_compile_definitions(fuzz_replay_test PRIVATE FUZZ_DIR="${CMAKE_SOURCE_DIR}/tests/fuzz")
