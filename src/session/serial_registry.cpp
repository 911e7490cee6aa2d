#include "session/serial_registry.h"

#include <cstring>
#include <memory>
#include <string>

#include "core/bytes.h"
#include "device/controller_session.h"
#include "device/identity.h"
#include "platform/platform.h"
#include "session/controller_name.h"
#include "session/in_use_guard.h"
#include "session/open_close.h"
#include "transport/name_text.h"

namespace zpx {

namespace {

constexpr size_t kEntriesOffset = 4;
constexpr size_t kEntrySize = 136;
constexpr size_t kEntryNameSize = 128;
constexpr size_t kFirstWordOffset = 128;
constexpr size_t kSecondWordOffset = 132;
constexpr const char* kFamily51x4Suffix = ",51x4";
constexpr uint32_t kGuardPauseMs = 1;

static_assert(kEntriesOffset + kSerialEntries * kEntrySize + 32 == platform::kSerialRegistrySize);

std::string_view CutName(std::string_view name) {
    return name.substr(0, kSerialNameMax);
}

// The first entry whose name equals `name` (cut as entries are), ignoring case; null when none.
const uint8_t* Lookup(const uint8_t* registry, std::string_view name) {
    const std::string_view cut = CutName(name);
    const uint32_t count = GetU32(registry);
    for (uint32_t i = 0; i < count && i < kSerialEntries; ++i) {
        const uint8_t* entry = registry + kEntriesOffset + i * kEntrySize;
        const char* entryName = reinterpret_cast<const char*>(entry);
        if (transport::EqualsNoCase(std::string_view(entryName, strnlen(entryName, kEntryNameSize)),
                                    cut)) {
            return entry;
        }
    }
    return nullptr;
}

// The entry is written whole before the count takes it in, so a process that dies half-way
// leaves no half-written entry behind.
void Append(uint8_t* registry, std::string_view name, uint32_t first, uint32_t second) {
    const uint32_t count = GetU32(registry);
    if (count >= kSerialEntries) return;
    uint8_t* entry = registry + kEntriesOffset + count * kEntrySize;
    const std::string_view cut = CutName(name);
    std::memset(entry, 0, kEntryNameSize);
    std::memcpy(entry, cut.data(), cut.size());
    PutU32(entry + kFirstWordOffset, first);
    PutU32(entry + kSecondWordOffset, second);
    PutU32(registry, count + 1);
}

}  // namespace

void RegisterSerial(ControllerSession& s, std::string_view workingName, OpenLockHold) {
    uint8_t* registry = platform::Use<platform::SharedObjects>().SerialRegistry();
    if (registry == nullptr) return;
    uint32_t first = 0;
    uint32_t second = 0;
    // The session already serves: read only while no call of the caller's runs on it.
    bool free = false;
    {
        InUseGuard guard(s.inUse);
        free = guard.taken();
    }
    if (free) {
        platform::Use<platform::Clock>().SleepMs(kGuardPauseMs);
        {
            InUseGuard guard(s.inUse);
            // A serial that cannot be read is recorded as far as it was read.
            if (guard.taken()) (void)device::ReadControllerSerial(s, &first, &second);
        }
        platform::Use<platform::Clock>().SleepMs(kGuardPauseMs);
    }
    Append(registry, workingName, first, second);
}

Result PeekSerial(const char* name, uint32_t* first, uint32_t* second) {
    if (name == nullptr) return kFail;
    const OpenLockHold hold = OpenLockHold::Take();
    if (!hold) return kFail;
    const uint8_t* registry = platform::Use<platform::SharedObjects>().SerialRegistry();
    if (registry == nullptr) return kFail;
    const std::string_view wanted(name, strnlen(name, kNameCapacity));
    const uint8_t* entry = Lookup(registry, wanted);
    if (entry == nullptr) {
        // Opening a controller of the 51x4 family records it; the lock is recursive. The brief
        // session is closed again on every way out.
        const std::string fullName = std::string(CutName(wanted)) + kFamily51x4Suffix;
        OpenFailure failure{};
        const std::unique_ptr<ZPX_Controller, bool (*)(ZPX_Handle)> opened(
            OpenController(fullName.c_str(), &failure), CloseController);
        entry = Lookup(registry, wanted);
    }
    if (entry == nullptr) return kFail;
    *first = GetU32(entry + kFirstWordOffset);
    *second = GetU32(entry + kSecondWordOffset);
    return kOk;
}

}  // namespace zpx
