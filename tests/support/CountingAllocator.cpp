#include "support/CountingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_current{0};
std::atomic<size_t> g_peak{0};

// Each block carries its size in front, padded to keep the alignment that
// operator new promises.
constexpr size_t Header = alignof(std::max_align_t);

void* allocate(size_t size) noexcept
{
    void* block = std::malloc(size + Header);
    if (!block) return nullptr;
    *static_cast<size_t*>(block) = size;
    const size_t now = g_current.fetch_add(size, std::memory_order_relaxed) + size;
    size_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return static_cast<char*>(block) + Header;
}

void release(void* p) noexcept
{
    if (!p) return;
    void* block = static_cast<char*>(p) - Header;
    g_current.fetch_sub(*static_cast<size_t*>(block), std::memory_order_relaxed);
    std::free(block);
}

void* allocateOrThrow(size_t size)
{
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size)
{
    return allocateOrThrow(size);
}
void* operator new[](size_t size)
{
    return allocateOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}
void operator delete(void* p) noexcept
{
    release(p);
}
void operator delete[](void* p) noexcept
{
    release(p);
}
void operator delete(void* p, size_t) noexcept
{
    release(p);
}
void operator delete[](void* p, size_t) noexcept
{
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    release(p);
}

namespace sorvena::test {

size_t AllocatedBytes()
{
    return g_current.load(std::memory_order_relaxed);
}

AllocationPeak::AllocationPeak() : m_base(AllocatedBytes())
{
    g_peak.store(m_base, std::memory_order_relaxed);
}

size_t AllocationPeak::Bytes() const
{
    const size_t peak = g_peak.load(std::memory_order_relaxed);
    return peak > m_base ? peak - m_base : 0;
}

}  // namespace sorvena::test
