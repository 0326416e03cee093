#pragma once

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call; 0 when none could be found.
int freeLoopbackPort();
