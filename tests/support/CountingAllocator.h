#pragma once
// Counts the bytes a test binary holds through operator new, for tests that
// bound what a piece of code allocates. Only binaries that compile
// CountingAllocator.cpp (which replaces the global operator new and delete)
// may include this header.

#include <cstddef>

namespace sorvena::test {

// Bytes allocated through operator new and not yet released, any thread.
size_t AllocatedBytes();

// The most bytes held at once since the scope began, beyond what was held
// when it began. One scope at a time.
class AllocationPeak {
public:
    AllocationPeak();
    size_t Bytes() const;

private:
    size_t m_base;
};

}  // namespace sorvena::test
