// A replacement of the global operator new and delete, preloaded into a child
// interpreter by the allocation-failure tests: once armed with k, the k-th
// allocation from then on fails as an exhausted heap does (bad_alloc, or null
// for the nothrow forms). It also counts the allocations still live, so a
// test can see one that a failure path forgot to free.
//
// Controlled through ctypes: failing_new_arm(k), failing_new_disarm() (which
// returns how many allocations were asked for while armed) and
// failing_new_live().
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> countdown{0};  // 0: disarmed
std::atomic<long> requested{0};  // allocations asked for while armed
std::atomic<long> live{0};       // allocations not yet freed

bool should_fail() noexcept {
    if (countdown.load(std::memory_order_relaxed) == 0) return false;
    requested.fetch_add(1, std::memory_order_relaxed);
    return countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

void* allocate(std::size_t size, std::size_t align) noexcept {
    if (should_fail()) return nullptr;
    if (size == 0) size = 1;
    void* p = align <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(align, (size + align - 1) / align * align);
    if (p != nullptr) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
    void* p = allocate(size, align);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

extern "C" {
__attribute__((visibility("default"))) void failing_new_arm(long k) {
    requested.store(0);
    countdown.store(k);
}
__attribute__((visibility("default"))) long failing_new_disarm() {
    countdown.store(0);
    return requested.load();
}
__attribute__((visibility("default"))) long failing_new_live() { return live.load(); }
}

void* operator new(std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) {
    return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
