// Faults on demand in the file layer, for tests of what the program leaves behind when a
// write, a sync or a rename fails, or when the process dies at that moment. Every write,
// truncate, space reservation, sync and rename of the platform's file calls counts as one
// call. Disarmed (the normal state) the count costs one relaxed atomic load per call.
//
// A process can also be armed from its environment, read once at its first counted call:
//   LUME_FAULT_KILL_AT=N     the process kills itself with SIGKILL at its Nth call
//   LUME_FAULT_INTERRUPT_AT=N  the process sends itself SIGINT at its Nth call (Ctrl-C)
//   LUME_FAULT_TRACE=FILE    one line per call is appended to FILE: "N kind path"
// so that a test can kill a whole update at a chosen moment and see which moment it was.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform::faults {

enum class Call { kWrite, kTruncate, kReserve, kSync, kSyncDirectory, kRename };

// From now on, the nth counted call (1 = the next one) fails with err (an errno value such as
// EIO or ENOSPC) instead of doing its work; every later call works again. Resets the count.
void failAt(uint64_t nth, int err);
// Every counted call from the nth on fails with err (a disk that stays full).
void failFrom(uint64_t nth, int err);
// Counts calls without failing any (to learn how many an operation makes). Resets the count.
void count();
// The process kills itself with SIGKILL at the nth counted call from now (a crash or power
// cut at that moment, as far as the files can tell). Resets the count.
void killAt(uint64_t nth);
// Every read of the platform's files fails with err (0: reads work again). Reads are not
// counted calls: this does not move the count of the other faults.
void failReads(int err);
// Stops counting and failing (reads included).
void disarm();
// Calls counted since the last failAt, failFrom or count.
uint64_t calls();
// True when a call failed by injection since the last arming.
bool injected();

// Called by the file layer before each counted call: 0 to go on, or the errno value the
// call must fail with. The call's file is named by its native path, or by its descriptor.
int before(Call call, std::string_view path, int fd = -1);
// Called by the file layer before each read: 0 to go on, or the errno value it must fail with.
int beforeRead();

}  // namespace platform::faults
