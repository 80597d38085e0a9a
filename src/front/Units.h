#pragma once

// Brings every unit up once, in the system's fixed order: the image model and its
// codec registry, the program directory, the plug-in loader, then one codec per format
// in the order the registry asks them. Called from main before anything else; safe to
// call again (later calls do nothing).
void InitializeUnits();

// Unloads the plug-ins and takes back the units' picture-framework registrations.
void FinalizeUnits();
