#pragma once
// How long a test waits for something to happen before it gives up.
//
// A cap only keeps a broken build from hanging the suite; it is no speed
// requirement. Workers run at a lower priority than the test, and a machine
// busy with other builds may leave them without a core for a long time, so
// the cap is far beyond what the event needs on any machine. A test waits for the event
// itself (a fixture reports a request, a worker ends) and never asserts that
// it happened within some time.

#include <chrono>

namespace sorvena::test {

inline constexpr std::chrono::seconds EventWaitCap{120};

}  // namespace sorvena::test
