// The program's stderr never holds it up. Lines for stderr come from the GUI
// thread (messages, the event log, Qt's own warnings), and a stderr that is a
// pipe nobody reads, a terminal stopped with Ctrl-S or a stalled network file
// would make each of those writes wait for ever, the polling cycle and the
// program's end with them.
//
// The relay puts a pipe of the program's own between the program and its
// stderr: file descriptor 2 becomes the pipe's write end, which never waits
// (a write that finds the pipe full fails and the line is lost, as stdio
// reports), and a thread copies what arrives to the original stderr, the
// only place that may wait. At exit, what is still in the pipe is given a
// bounded time to get out.
#pragma once

#include <chrono>

namespace stage::app {

// Installs the relay; false (and nothing changed) when fd 2 is not open or
// the pipe or the thread cannot be made. Call once, early in main, before any
// other thread exists. `drain` bounds the wait at exit.
bool InstallStderrRelay(std::chrono::milliseconds drain = std::chrono::milliseconds(300));

// Gives what is still in the pipe its bounded time to get out; for ends that
// skip atexit (std::_Exit). Does nothing without the relay.
void DrainStderrRelay();

}  // namespace stage::app
