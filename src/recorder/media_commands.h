#pragma once
// The disc commands of a virtual drive: disc, track and TOC information, capacities, READ (10),
// WRITE (10), SYNCHRONIZE CACHE, CLOSE TRACK/SESSION, RESERVE TRACK, BLANK, FORMAT UNIT, and the
// mode pages 05h and 2Ah (MODE SENSE (10), MODE SELECT (10)).

#include "recorder/command.h"

namespace lorvane::recorder {

// Registers the handlers. A disc command first reports why the unit is not ready (no disc, tray
// open, a blank or format running), then why the disc is busy (closing, flushing), before the disc
// in the tray answers it.
void RegisterMediaCommands(CommandTable& table);

} // namespace lorvane::recorder
