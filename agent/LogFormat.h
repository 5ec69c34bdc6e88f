// printf-style formatting into a std::string, for log lines and status texts.
#pragma once

#include "platform/text_format.h"
