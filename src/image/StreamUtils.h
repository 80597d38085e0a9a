#pragma once

#include <string>

#include "image/LinarBitmap.h"

class TBaseStream;

// An object that writes itself to and reads itself from a library stream, and through
// a buffered file stream from a file.
class TStreamClass : public TAssignObject {
public:
    PIXMORPH_CLASS_NAME(TStreamClass)
    // Base: Exception "<class>.SaveToStream not implemented".
    virtual void SaveToStream(TBaseStream& Stream);
    // Base: Exception "<class>.LoadFromStream not implemented".
    virtual void LoadFromStream(TBaseStream& Stream);
    // The file is created anew; a failed save still closes it.
    virtual void SaveToFile(const std::string& FileName);
    virtual void LoadFromFile(const std::string& FileName);
};
