#include "gif/GIFImage.h"

// Reading GIF files is not built yet: every entry point says so instead of leaving an
// object half filled.

namespace {
[[noreturn]] void ReadingNotSupported(const TObject& object) {
    throw GIFException(Format("%s.LoadFromStream not implemented", object.ClassName()));
}
}  // namespace

void TGIFImage::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFImageList::LoadFromStream(host::TStream&, TObject*) { ReadingNotSupported(*this); }
void TGIFExtensionList::LoadFromStream(host::TStream&, TObject*) { ReadingNotSupported(*this); }
void TGIFHeader::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFSubImage::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFTrailer::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFExtension::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFGraphicControlExtension::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFCommentExtension::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFTextExtension::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFApplicationExtension::LoadFromStream(host::TStream&) { ReadingNotSupported(*this); }
void TGIFUnknownAppExtension::LoadData(host::TStream&) { ReadingNotSupported(*this); }
void TGIFAppExtNSLoop::LoadData(host::TStream&) { ReadingNotSupported(*this); }
