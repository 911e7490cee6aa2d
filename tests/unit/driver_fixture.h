// A minimal register file behind a fake driver device: enough for opening, identification and
// the register exports, with every request recorded by the fake.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/bytes.h"
#include "fake_platform.h"
#include "transport/driver_requests.h"

namespace zpx::testing {

struct RegisterFile {
    std::map<uint32_t, uint8_t> regs;  // driver register number -> byte
    int64_t driverId = 0x90300000;     // -1: the driver refuses the id request
    bool statusQueryAnswers = true;
    uint32_t statusWords[2] = {0, 0};
    int failAfter = -1;  // fail every request once this many succeeded
    int served = 0;
};

inline DriverHandler RegisterFileHandler(std::shared_ptr<RegisterFile> file) {
    return [file](uint32_t code, const uint8_t* in, uint32_t, uint8_t* out, uint32_t) {
        if (file->failAfter >= 0 && file->served >= file->failAfter) return false;
        ++file->served;
        using namespace zpx::transport;
        if (code == kDriverIdQuery) {
            if (file->driverId < 0) return false;
            PutU32(out, static_cast<uint32_t>(file->driverId));
            return true;
        }
        if (code == kStatusRegisterQuery) {
            if (!file->statusQueryAnswers) return false;
            PutU32(out, file->statusWords[0]);
            PutU32(out + 4, file->statusWords[1]);
            return true;
        }
        if (code == kRequestRegisterRead) {
            const uint32_t reg = GetU32(in);
            PutU32(out, reg);
            // Four consecutive registers, as the FireWire driver answers; the other drivers'
            // callers only look at byte 4.
            for (uint32_t i = 0; i < 4; ++i)
                out[4 + i] = file->regs[reg + i];
            return true;
        }
        if (code == kRequestRegisterWrite) {
            file->regs[GetU32(in)] = static_cast<uint8_t>(GetU32(in + 4));
            return true;
        }
        return false;
    };
}

}  // namespace zpx::testing
