#include "front/OpenPicture.h"

#include <vector>

#include "codecs/BMPLoader.h"
#include "codecs/WMFLoader.h"
#include "front/FileUtils.h"
#include "front/FrontEnd.h"
#include "front/Main.h"
#include "front/Units.h"
#include "gif/GIFImage.h"
#include "image/LinarBitmap.h"
#include "image/LinearGraphic.h"
#include "picture/Graphics.h"
#include "plugins/ImageDLLLoader.h"

namespace {

const char* const UsageLine =
    "usage: pixmorph-open <input> <output>   (the input's picture class reads it, the output's codec writes it)";

const TCommandLineRules CommandLine{"pixmorph-open", UsageLine, nullptr, 2};

// The picture shows the GIF's first frame alone, and goes with the call: the frame's rows
// become the image's.
void HandOverFirstFrame(TGIFImage& gif, TLinearBitmap& image) {
    host::TBitmap frame;
    gif.HandOverFirstFrame(frame);
    image.TakeOverPlatformBitmap(frame);
}

}  // namespace

void OpenPictureAndSave(const std::string& input, const std::string& output) {
    host::TPicture picture;
    picture.LoadFromFile(input);
    TLinearBitmap image;
    if (auto* linear = dynamic_cast<TLinearGraphic*>(picture.Graphic()))
        image.TakeOver(linear->Image);
    else if (auto* metafile = dynamic_cast<host::TMetafile*>(picture.Graphic()))
        // Drawn at its own size on white, as any graphic is, through the codec's own guard
        // and bands: no whole picture beside the image.
        RenderMetafile(*metafile, image, TMetafileDepth::TrueColour);
    else if (auto* bitmap = dynamic_cast<TVKBitmap*>(picture.Graphic()))
        // The picture goes with this call: its rows move rather than being copied.
        bitmap->HandOverTo(image);
    else if (auto* gif = dynamic_cast<TGIFImage*>(picture.Graphic()); gif && !gif->Empty())
        HandOverFirstFrame(*gif, image);
    else if (picture.Graphic())
        image.Assign(*picture.Graphic());
    // Plug-ins take no 16-bit grey: it goes to 8 bits as on the codec path's hand-over.
    if (image.PixelFormat == pfGray16 && &Loaders->FindSaver(ExtractExtension(output)) == &ImageDLLLoader())
        image.ChangePixelFormat(pfIndexed8);
    SaveWithCodecs(image, output, TAtomicOutput::OpenErrors::Platform);
}

int RunOpenApplication(int argc, char** argv) {
    const std::vector<std::string> args = CommandLineArguments(argc, argv);
    if (const auto answered = AnswerCommandLine(CommandLine, args)) return *answered;
    InitializeUnits();
    const bool written = RunReportingErrors([&] {
        LoadProgramPlugins();
        OpenPictureAndSave(args[0], args[1]);
        ReportDamageWarnings();
    });
    FinalizeUnits();
    return written ? ExitCompleted : ExitFailed;
}
