#pragma once

// A TCP port that no socket of any address uses at the moment of the call; 0 when none could be found.
int freeLoopbackPort();
