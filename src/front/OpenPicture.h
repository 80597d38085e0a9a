#pragma once

#include <string>

#include "front/ConversionOutcome.h"

// pixmorph-open: a picture is opened as the platform's picture-opening does it, by the
// graphic class registered for the input's extension (so every format with a graphic
// class is readable, the plug-ins' included), taken into a TLinearBitmap and written
// through the codec registry by the output's extension.
// The input always stays; the output appears complete or not at all.
void OpenPictureAndSave(const std::string& input, const std::string& output);

// One call "pixmorph-open input output", the units being up: its outcome, with the
// codecs and the damage record of this conversion alone. Prints nothing.
TConversionOutcome OpenConversion(const std::string& input, const std::string& output);

// The whole program: 0 the picture was written; 1 an error was reported
// ("Pixmorph: <message>" on standard error); 2 not a call of two paths.
int RunOpenApplication(int argc, char** argv);
