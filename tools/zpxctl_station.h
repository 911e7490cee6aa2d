// zpxctl's station commands (list, info, clock, serial, pod, tap, run, net, update, mem).
#pragma once

// Runs the command argv[1] with its arguments: 0 done, 1 failed, 2 bad usage, -1 when argv[1]
// names no station command.
int StationCommand(int argc, char** argv);
// The usage lines of the station commands.
void PrintStationUsage();
