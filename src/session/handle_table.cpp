#include "session/handle_table.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

namespace zpx::handle_table {

namespace {

// A slot's state word: generation in the high half, then the bit that shuts the slot to new
// calls (set while closing and while free), then the number of calls inside.
constexpr uint64_t kShut = uint64_t{1} << 31;
constexpr uint64_t kCallMask = kShut - 1;

constexpr uint32_t Generation(uint64_t state) {
    return static_cast<uint32_t>(state >> 32);
}
constexpr uint64_t StateOf(uint32_t generation, uint64_t flags) {
    return uint64_t{generation} << 32 | flags;
}

constexpr size_t kChunkSlots = 256;
constexpr size_t kChunks = 64;  // up to 16384 sessions open at once

}  // namespace

class Slot {
  public:
    std::atomic<uint64_t> state{StateOf(1, kShut)};
    ControllerSession* session = nullptr;  // written only while the slot is shut and empty
};

namespace {

struct Chunk {
    std::array<Slot, kChunkSlots> slots;
};

// The process-wide table. Slots are reused lowest-first from a free list taken under a mutex
// that only opening and closing touch.
// Chunks stay until the library is unloaded (or the process ends): a slot never moves or goes
// while the library serves.
class Table {
  public:
    ~Table() {
        for (auto& chunk : chunks_)
            delete chunk.exchange(nullptr, std::memory_order_acq_rel);
    }

    // The slot a handle names, or null when it names none (its generation is checked later).
    Slot* Find(ZPX_Handle handle, uint32_t* generation) const {
        *generation = static_cast<uint32_t>(static_cast<uint64_t>(Value(handle)) >> 32);
        return SlotAt(IndexOf(handle));
    }

    ZPX_Handle Publish(std::unique_ptr<ControllerSession> session) {
        size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            if (free_.empty() && !Grow()) return nullptr;
            index = free_.back();
            free_.pop_back();
        }
        Slot& slot = *SlotAt(index);
        const uint32_t generation = Generation(slot.state.load(std::memory_order_relaxed));
        slot.session = session.release();
        slot.state.store(StateOf(generation, 0), std::memory_order_release);
        return HandleFor(index, generation);
    }

    // Waits until no call is inside a shut slot. The last call out takes the mutex before it
    // wakes us, and we look at the count under it, so the wake-up cannot fall between our look
    // and our wait. (std::atomic::wait is not used: on systems without a futex some standard
    // libraries can miss its wake-up and leave the close waiting forever.)
    void WaitUntilEmpty(Slot& slot) {
        std::unique_lock lock(mutex_);
        left_.wait(lock, [&] {
            return (slot.state.load(std::memory_order_acquire) & kCallMask) == 0;
        });
    }

    void WakeClosers() {
        { std::lock_guard lock(mutex_); }
        left_.notify_all();
    }

    void Free(Slot& slot, ZPX_Handle handle) {
        uint32_t generation = 0;
        (void)Find(handle, &generation);
        slot.session = nullptr;
        // A generation of 0 would let a garbage value with a clear high half match: skip it.
        const uint32_t next = generation + 1 != 0 ? generation + 1 : 1;
        slot.state.store(StateOf(next, kShut), std::memory_order_release);
        std::lock_guard lock(mutex_);
        free_.push_back(IndexOf(handle));
    }

  private:
    static uintptr_t Value(ZPX_Handle handle) { return reinterpret_cast<uintptr_t>(handle); }
    // Slot numbers start at 1, so that no handle is null.
    static size_t IndexOf(ZPX_Handle handle) {
        return static_cast<size_t>((static_cast<uint64_t>(Value(handle)) & 0xFFFFFFFF) - 1);
    }

    Slot* SlotAt(size_t index) const {
        if (index >= kChunks * kChunkSlots) return nullptr;
        Chunk* chunk = chunks_[index / kChunkSlots].load(std::memory_order_acquire);
        return chunk != nullptr ? &chunk->slots[index % kChunkSlots] : nullptr;
    }

    static ZPX_Handle HandleFor(size_t index, uint32_t generation) {
        return reinterpret_cast<ZPX_Handle>(
            static_cast<uintptr_t>(uint64_t{generation} << 32 | (index + 1)));
    }

    // Adds a chunk of free slots; false when every chunk is in use. Called under the mutex.
    bool Grow() {
        if (chunkCount_ == kChunks) return false;
        auto* chunk = new (std::nothrow) Chunk;
        if (chunk == nullptr) return false;
        const size_t first = chunkCount_ * kChunkSlots;
        chunks_[chunkCount_++].store(chunk, std::memory_order_release);
        // Handed out from the back: lowest numbers first.
        for (size_t i = kChunkSlots; i-- > 0;)
            free_.push_back(first + i);
        return true;
    }

    std::array<std::atomic<Chunk*>, kChunks> chunks_{};
    std::mutex mutex_;
    std::condition_variable left_;  // a call left a closing slot
    std::vector<size_t> free_;
    size_t chunkCount_ = 0;
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

ZPX_Handle Publish(std::unique_ptr<ControllerSession> session) {
    try {
        return TheTable().Publish(std::move(session));
    } catch (...) {  // the free list could not grow
        return nullptr;
    }
}

Call::Call(ZPX_Handle handle) {
    uint32_t generation = 0;
    Slot* slot = TheTable().Find(handle, &generation);
    if (slot == nullptr) return;
    uint64_t state = slot->state.load(std::memory_order_acquire);
    do {
        if (Generation(state) != generation || (state & kShut) != 0) return;
    } while (!slot->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire));
    slot_ = slot;
    session_ = slot->session;
}

Call::~Call() {
    if (slot_ == nullptr) return;
    const uint64_t before = slot_->state.fetch_sub(1, std::memory_order_release);
    // The last call out of a closing slot wakes the close.
    if ((before & kShut) != 0 && (before & kCallMask) == 1) TheTable().WakeClosers();
}

std::unique_ptr<ControllerSession> Retire(ZPX_Handle handle) {
    uint32_t generation = 0;
    Slot* slot = TheTable().Find(handle, &generation);
    if (slot == nullptr) return nullptr;
    uint64_t state = slot->state.load(std::memory_order_acquire);
    do {
        if (Generation(state) != generation || (state & kShut) != 0) return nullptr;
    } while (!slot->state.compare_exchange_weak(state, state | kShut, std::memory_order_acquire));
    TheTable().WaitUntilEmpty(*slot);
    std::unique_ptr<ControllerSession> session(slot->session);
    TheTable().Free(*slot, handle);
    return session;
}

ControllerSession* Peek(ZPX_Handle handle) {
    uint32_t generation = 0;
    Slot* slot = TheTable().Find(handle, &generation);
    if (slot == nullptr) return nullptr;
    const uint64_t state = slot->state.load(std::memory_order_acquire);
    return Generation(state) == generation && (state & kShut) == 0 ? slot->session : nullptr;
}

}  // namespace zpx::handle_table
