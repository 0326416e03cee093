#pragma once

#include <memory>

#include "client/client_output.h"
#include "client/flash_conversation.h"

// How a write shows itself: on a terminal one redrawn line per board with a progress bar (bytes verified of the
// total, KiB/s, time left); otherwise one line per stage; with --json one object per event (a stage, or every
// tenth of the image verified).
std::unique_ptr<FlashListener> makeFlashView(const ClientOutput& output);
// The stage's name in JSON events: "version", "size", "bootloader", "write", "application", "again", "done",
// "failed".
const char* flashStageName(FlashStage stage);
