#include "device/controller_session.h"

namespace zpx {

ControllerSession::ControllerSession() = default;
ControllerSession::~ControllerSession() = default;

}  // namespace zpx
