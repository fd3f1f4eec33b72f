// What one read carries from step to step: the log it reports to and the
// level its header listing is written at. Each read makes its own and hands
// it down, so a read nested inside another on the same thread (an embedded
// header, a callback) keeps its own settings and never disturbs the outer.
#pragma once

#include <cstdint>

#include "log/log.h"

struct SampleRange;

struct ReadContext {
  // A log handle alone is a read that lists nothing.
  ReadContext(LogHandle log = nullptr, uint8_t text_level = 0) : log(log), text_level(text_level) {}

  LogHandle log = nullptr;
  // The header-text level: 0 lists nothing; 6 when a file is loaded, 4 when
  // the user asks for the header listing.
  uint8_t text_level = 0;
  // Where an image reader that writes the samples itself may put their
  // range, when it takes it in passing; null when the read does not ask.
  SampleRange* range = nullptr;

  // The level header lines are written at now, or 0 when the level is 0 or
  // the log does not admit it.
  int Text_Level() const { return text_level != 0 && Log_Admitted(text_level) ? text_level : 0; }

  // A read reports through its log: the context stands wherever a log
  // handle is asked for.
  operator LogHandle() const { return log; }
};
