// GE Genesis (Signa 5) image files, and the Signa 4 header blocks found in
// Genesis database images.
#pragma once

#include <cstdint>

#include "log/log.h"

struct ImageHeader;

int GE_SIGNA_5_Read_Header(LogHandle log, ImageHeader& ima);
int GE_SIGNA_5_Read_Image(LogHandle log, ImageHeader& ima);
