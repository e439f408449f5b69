// The desktop program: start-up in its fixed order, the message loop, and an orderly shutdown
// once config.ini is written. Returns the process's exit status: 1 after a normal close (as
// the viewer always has), 1 with a message on stderr when there is no display or no usable
// graphics device. `printStats` prints the run's JSON summary (app/run_stats.h) on stdout once
// the window has closed.
#pragma once

int RunDesktop(bool printStats = false);
