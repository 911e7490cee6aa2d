// What every back-end carries: byte registers, the word register and raw driver requests.
//
// One implementation per way of reaching a controller (kernel driver, Ethernet, later VXI). A
// back-end knows its own mapping tables; the logic above asks for "register 3" and never switches
// on the interface kind for transport details.
#pragma once

#include <cstdint>

#include "core/result.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::transport {

// The controller's register numbers as the logic names them.
inline constexpr uint32_t kControlRegister = 0x00;
inline constexpr uint32_t kErrorRegister = 0x01;
inline constexpr uint32_t kPodRegister = 0x02;
inline constexpr uint32_t kSelectRegister = 0x03;
inline constexpr uint32_t kPodPowerRegister = 0x0B;

class Backend {
  public:
    virtual ~Backend() = default;

    // 8-bit registers 0, 1, 2, 3 and 0x0B. A read stores the byte, zero-extended, and leaves
    // `value` untouched on failure.
    virtual Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value) = 0;
    virtual Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value) = 0;
    // The 16-bit register 4.
    virtual Result ReadRegisterWord(ControllerSession& s, uint32_t* value) = 0;
    virtual Result WriteRegisterWord(ControllerSession& s, uint32_t value) = 0;

    // A raw request to the kernel driver; back-ends without a driver fail it.
    virtual Result DriverRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                                 uint32_t outLength) = 0;
};

}  // namespace zpx::transport
