// The log sink the viewer installs: errors and reports go to the panel's
// message list as they are (with their colour bytes), everything admitted
// also to the console and, when tracing, to the trace file.
#pragma once

#include "log/log.h"
#include "tools/tools.h"

// The message list the sink writes to (null: none yet).
void Log_Viewer_Set_List(Text* list);
// The handle of a log call is the owner window of the sink's message boxes.
int Log_Viewer_Sink(LogHandle handle, int level, const char* text);
