#pragma once

// The exceptions of the libmng binding besides ENGImageException: a library that did not
// load, and an entry point that the loaded one lacks.
#include "platform/Exceptions.h"

namespace ng {

PIXMORPH_EXCEPTION(ENGDLLNotLoaded, ENGImageException);
PIXMORPH_EXCEPTION(ENGFuncUnknown, ENGImageException);

}  // namespace ng
