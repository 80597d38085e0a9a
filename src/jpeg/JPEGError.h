#pragma once

#include "platform/Exceptions.h"

// Every failure that libjpeg reports ("JPEG error #<message code>"), whoever crossed into it.
PIXMORPH_EXCEPTION(EJPEG, Exception);
