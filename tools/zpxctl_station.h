// zpxctl's station commands (open, list, info, clock, serial, pod, tap, run, net, update, mem):
// the handlers and text layouts that their rows of the command table name.
#pragma once

#include <functional>

#include "zpx/zpx.h"
#include "zpxctl_command.h"

namespace zpx::ctl {

int Open(const Args& args, Report* report);
int List(const Args& args, Report* report);
int Info(const Args& args, Report* report);
int Clock(const Args& args, Report* report);
int Serial(const Args& args, Report* report);
int Pod(const Args& args, Report* report);
int Run(const Args& args, Report* report);
int Tap(const Args& args, Report* report);
int Net(const Args& args, Report* report);
int Update(const Args& args, Report* report);
int Mem(const Args& args, Report* report);

// Runs `read`, a read of a serial ROM, and leaves the pod's activation as it was; its status.
uint32_t RomReadKeepingPod(ZPX_Handle h, const std::function<uint32_t()>& read);

// The text of the commands whose lines are more than one "name value" line per field.
void OpenText(const Report& report);
void ListText(const Report& report);
void InfoText(const Report& report);
void ClockText(const Report& report);
void PodText(const Report& report);
void RunText(const Report& report);
void TapText(const Report& report);
void UpdateText(const Report& report);

}  // namespace zpx::ctl
