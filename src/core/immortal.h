// Storage for the process-wide objects: built on first use, never destroyed.
//
// A function-local `static T object;` is destroyed during exit, in an order nobody controls. The
// library's unload hook, another thread still inside an export, or an atexit handler that calls
// the library can each reach the object after that, and a destroyed mutex or vtable is undefined
// behaviour. An Immortal is placed in static storage (no heap, so nothing shows up as leaked
// however often the library is loaded and unloaded) and its destructor is never run; whatever the
// object holds must be given back by explicit work (the unload hook), not by its destructor.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace zpx {

template <class T>
class Immortal {
  public:
    template <class... Args>
    explicit Immortal(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

namespace detail {
struct WithDestructor {
    ~WithDestructor() {}
};
}  // namespace detail
// Immortal itself has nothing to destroy, so a static one registers no exit-time destructor.
static_assert(std::is_trivially_destructible_v<Immortal<detail::WithDestructor>>);

}  // namespace zpx
