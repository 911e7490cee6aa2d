// Ten yes/no questions about the running system generation, answered from the version record.
#pragma once

#include "platform/platform.h"

namespace zpx::transport {

inline constexpr int kOsSupportsUsb = 1;
inline constexpr int kOsRunsIndexedDrivers = 3;
inline constexpr int kOsIsOldestGeneration = 5;

bool HostOsClass(const platform::OsVersion& version, int query);
// The same for the running system; every answer is no when the version query fails.
bool HostOsClass(int query);

}  // namespace zpx::transport
