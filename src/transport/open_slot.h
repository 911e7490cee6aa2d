// A single-open slot: one of the four counters that the user's processes share, taken by a
// back-end whose device admits one client at a time (the oldest generation's device paths, the
// plain VXI driver interface) and given back when the slot object goes away, so a session's slot
// is free again once it closes or its open fails.
#pragma once

#include <memory>

namespace zpx::transport {

enum OpenCounter : unsigned { kCounterUsb = 0, kCounterPci = 1, kCounterVxi = 2, kCounterIsa = 3 };

class OpenSlot {
  public:
    // The slot, or null when another open holds it.
    static std::unique_ptr<OpenSlot> Take(OpenCounter counter);
    ~OpenSlot();
    OpenSlot(const OpenSlot&) = delete;
    OpenSlot& operator=(const OpenSlot&) = delete;

  private:
    explicit OpenSlot(OpenCounter counter) : counter_(counter) {}
    OpenCounter counter_;
};

}  // namespace zpx::transport
