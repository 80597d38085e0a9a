#include "image/StreamUtils.h"

#include "streams/BufStream.h"

void TStreamClass::SaveToStream(TBaseStream&) {
    throw Exception(Format("%s.SaveToStream not implemented", ClassName()));
}

void TStreamClass::LoadFromStream(TBaseStream&) {
    throw Exception(Format("%s.LoadFromStream not implemented", ClassName()));
}

void TStreamClass::SaveToFile(const std::string& FileName) {
    auto stream = OpenBufferedFile(FileName, true);
    SaveToStream(*stream);
    // Flushed here, where a failed write can still be reported.
    stream->Flush();
}

void TStreamClass::LoadFromFile(const std::string& FileName) {
    auto stream = OpenBufferedFile(FileName, false);
    LoadFromStream(*stream);
}
