// The UPS link tests' scripted serial line, built into this test program
// too, so the device API meets a link loop driven in virtual time.
#include "tests/service/ups/fake_port.cpp"  // NOLINT(bugprone-suspicious-include)
