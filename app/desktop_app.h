// The desktop program: start-up in its fixed order, the message loop, and an orderly shutdown
// once config.ini is written. Returns the process's exit status: 1 after a normal close (as
// the viewer always has), 1 with a message on stderr when there is no display or no usable
// graphics device.
#pragma once

int RunDesktop();
