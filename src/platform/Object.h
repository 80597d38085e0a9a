#pragma once

// The root of every class whose name can appear in a message
// ("Cannot assign TBitmap to TLinearBitmap", "Error reading from stream - TMemStream").
class TObject {
public:
    virtual ~TObject() = default;
    virtual const char* ClassName() const { return "TObject"; }
};

#define PIXMORPH_CLASS_NAME(name) \
    const char* ClassName() const override { return #name; }
