// Where the test framework's precompiled header is made (kv_test_pch); nothing of its own.
