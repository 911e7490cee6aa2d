// The unit tests' fake platform (tests/unit/fake_platform.h), installed for one fuzz run.
#pragma once

#include "fake_platform.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace zpx::fuzz {

// A fake platform (the unit tests' FakePlatform or a type derived from it) installed for every
// facility for the object's lifetime. Each run gets a fresh one, so no state of one input leaks
// into the next and every finding replays from its input alone.
template <class Platform>
class InstalledPlatform {
  public:
    Platform* operator->() { return &fake_; }
    Platform& operator*() { return fake_; }

  private:
    template <class F>
    using Scope = platform::ScopedFake<F>;
    Platform fake_;
    Scope<platform::Devices> devices_{&fake_};
    Scope<platform::Network> network_{&fake_};
    Scope<platform::Clock> clock_{&fake_};
    Scope<platform::Files> files_{&fake_};
    Scope<platform::SharedObjects> shared_{&fake_};
    Scope<platform::Libraries> libraries_{&fake_};
    Scope<platform::Host> host_{&fake_};
};

}  // namespace zpx::fuzz
