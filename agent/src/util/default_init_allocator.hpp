#pragma once

#include <memory>
#include <new>
#include <utility>

namespace vx::util {

// std::allocator, except that elements a container adds without a value (resize) are
// default-initialised: bytes are left as they are, not zeroed. For a buffer grown only to be
// written at once, this spares the pass that would zero it first; nothing may read such bytes
// before they are written.
template <typename T>
class DefaultInitAllocator : public std::allocator<T> {
  public:
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };

    DefaultInitAllocator() noexcept = default;
    template <typename U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* at) {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        std::construct_at(at, std::forward<Args>(args)...);
    }
};

}  // namespace vx::util
