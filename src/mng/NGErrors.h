#pragma once

// The exceptions of the libmng binding: its every failure, a library that did not load,
// and an entry point that the loaded one lacks.
#include "platform/Exceptions.h"

PIXMORPH_EXCEPTION(ENGImageException, Exception);

namespace ng {

PIXMORPH_EXCEPTION(ENGDLLNotLoaded, ENGImageException);
PIXMORPH_EXCEPTION(ENGFuncUnknown, ENGImageException);

}  // namespace ng
