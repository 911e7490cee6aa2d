#include "session/handle_table.h"

#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <mutex>

#include "core/immortal.h"

namespace zpx::handle_table {

namespace {

// A slot's state word: generation in the high half, then the bit that opens the slot to calls
// (set while a session serves in it), then the number of calls inside. All zero is a free slot
// that has never served: the slots need no setting up.
constexpr uint64_t kServing = uint64_t{1} << 31;
constexpr uint64_t kCallMask = kServing - 1;

constexpr uint32_t Generation(uint64_t state) {
    return static_cast<uint32_t>(state >> 32);
}
constexpr uint64_t StateOf(uint32_t generation, uint64_t flags) {
    return uint64_t{generation} << 32 | flags;
}

constexpr size_t kMaxSessions = 16384;
constexpr size_t kWordBits = 64;

}  // namespace

class Slot {
  public:
    std::atomic<uint64_t> state{0};
    ControllerSession* session = nullptr;  // written only while the slot is shut and empty
};

namespace {

// The slots are static storage set up by the loader (all zero, so they cost memory only where a
// session has served) and never destroyed: a slot never moves or goes while the library is
// loaded, so a lookup takes no lock, and a call made during exit still finds its slot. Nothing
// here holds heap memory, so a library unloaded and loaded again leaves nothing behind.
constinit Slot g_slots[kMaxSessions];

// What opening and closing share: which slots are taken (reused lowest-first), and the wake-up
// of a close that waits for the calls inside its slot. Never destroyed either.
class Table {
  public:
    // The slot a handle names, or null when it names none (its generation is checked later).
    static Slot* Find(ZPX_Handle handle, uint32_t* generation) {
        *generation = static_cast<uint32_t>(static_cast<uint64_t>(Value(handle)) >> 32);
        const size_t index = IndexOf(handle);
        return index < kMaxSessions ? &g_slots[index] : nullptr;
    }

    ZPX_Handle Publish(std::unique_ptr<ControllerSession> session) {
        size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            if (!TakeLowestFree(&index)) return nullptr;
        }
        Slot& slot = g_slots[index];
        uint32_t generation = Generation(slot.state.load(std::memory_order_relaxed));
        // A generation of 0 would let a garbage value with a clear high half match: skip it.
        if (generation == 0) generation = 1;
        slot.session = session.release();
        slot.state.store(StateOf(generation, kServing), std::memory_order_release);
        return HandleFor(index, generation);
    }

    // Waits until no call is inside a shut slot. The last call out takes the mutex before it
    // wakes us, and we look at the count under it, so the wake-up cannot fall between our look
    // and our wait. (std::atomic::wait is not used: on systems without a futex some standard
    // libraries can miss its wake-up and leave the close waiting forever.)
    void WaitUntilEmpty(Slot& slot) {
        std::unique_lock lock(mutex_);
        left_.wait(lock,
                   [&] { return (slot.state.load(std::memory_order_acquire) & kCallMask) == 0; });
    }

    void WakeClosers() {
        { std::lock_guard lock(mutex_); }
        left_.notify_all();
    }

    void Free(Slot& slot, ZPX_Handle handle) {
        uint32_t generation = 0;
        (void)Find(handle, &generation);
        slot.session = nullptr;
        const uint32_t next = generation + 1 != 0 ? generation + 1 : 1;
        slot.state.store(StateOf(next, 0), std::memory_order_release);
        const size_t index = IndexOf(handle);
        std::lock_guard lock(mutex_);
        taken_[index / kWordBits] &= ~(uint64_t{1} << (index % kWordBits));
    }

  private:
    static uintptr_t Value(ZPX_Handle handle) { return reinterpret_cast<uintptr_t>(handle); }
    // Slot numbers start at 1, so that no handle is null.
    static size_t IndexOf(ZPX_Handle handle) {
        return static_cast<size_t>((static_cast<uint64_t>(Value(handle)) & 0xFFFFFFFF) - 1);
    }

    static ZPX_Handle HandleFor(size_t index, uint32_t generation) {
        return reinterpret_cast<ZPX_Handle>(
            static_cast<uintptr_t>(uint64_t{generation} << 32 | (index + 1)));
    }

    // Marks the lowest free slot taken; false when every slot is taken. Called under the mutex.
    bool TakeLowestFree(size_t* index) {
        for (size_t word = 0; word < taken_.size(); ++word) {
            const uint64_t free = ~taken_[word];
            if (free == 0) continue;
            const auto bit = static_cast<size_t>(std::countr_zero(free));
            taken_[word] |= uint64_t{1} << bit;
            *index = word * kWordBits + bit;
            return true;
        }
        return false;
    }

    std::mutex mutex_;
    std::condition_variable left_;  // a call left a closing slot
    std::array<uint64_t, kMaxSessions / kWordBits> taken_{};
};

Table& TheTable() {
    static Immortal<Table> table;
    return table.get();
}

}  // namespace

ZPX_Handle Publish(std::unique_ptr<ControllerSession> session) {
    return TheTable().Publish(std::move(session));
}

Call::Call(ZPX_Handle handle) {
    uint32_t generation = 0;
    Slot* slot = Table::Find(handle, &generation);
    if (slot == nullptr) return;
    uint64_t state = slot->state.load(std::memory_order_acquire);
    do {
        if (Generation(state) != generation || (state & kServing) == 0) return;
    } while (!slot->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire));
    slot_ = slot;
    session_ = slot->session;
}

Call::~Call() {
    if (slot_ == nullptr) return;
    const uint64_t before = slot_->state.fetch_sub(1, std::memory_order_release);
    // The last call out of a closing slot wakes the close.
    if ((before & kServing) == 0 && (before & kCallMask) == 1) TheTable().WakeClosers();
}

std::unique_ptr<ControllerSession> Retire(ZPX_Handle handle) {
    uint32_t generation = 0;
    Slot* slot = Table::Find(handle, &generation);
    if (slot == nullptr) return nullptr;
    uint64_t state = slot->state.load(std::memory_order_acquire);
    do {
        if (Generation(state) != generation || (state & kServing) == 0) return nullptr;
    } while (
        !slot->state.compare_exchange_weak(state, state & ~kServing, std::memory_order_acquire));
    TheTable().WaitUntilEmpty(*slot);
    std::unique_ptr<ControllerSession> session(slot->session);
    TheTable().Free(*slot, handle);
    return session;
}

ControllerSession* Peek(ZPX_Handle handle) {
    uint32_t generation = 0;
    Slot* slot = Table::Find(handle, &generation);
    if (slot == nullptr) return nullptr;
    const uint64_t state = slot->state.load(std::memory_order_acquire);
    return Generation(state) == generation && (state & kServing) != 0 ? slot->session : nullptr;
}

}  // namespace zpx::handle_table
