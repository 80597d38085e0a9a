#include "front/OpenPicture.h"

#include <vector>

#include "front/FileUtils.h"
#include "front/FrontEnd.h"
#include "front/Main.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "picture/Graphics.h"
#include "platform/DamageReport.h"
#include "plugins/ImageDLLLoader.h"

namespace {

const char* const UsageLine =
    "usage: pixmorph-open <input> <output>   (the input's picture class reads it, the output's codec writes it)";

const TCommandLineRules CommandLine{"pixmorph-open", UsageLine, nullptr, 2};

}  // namespace

void OpenPictureAndSave(const std::string& input, const std::string& output) {
    host::TPicture picture;
    picture.LoadFromFile(input);
    TLinearBitmap image;
    // The picture goes with this call: its rows move, or it draws itself, into the image.
    if (picture.Graphic()) image.TakeOverGraphic(*picture.Graphic());
    // Plug-ins take no 16-bit grey: it goes to 8 bits as on the codec path's hand-over.
    if (image.PixelFormat == pfGray16 && &Loaders->FindSaver(ExtractExtension(output)) == &ImageDLLLoader())
        image.ChangePixelFormat(pfIndexed8);
    SaveWithCodecs(image, output, TAtomicOutput::OpenErrors::Platform);
}

TConversionOutcome OpenConversion(const std::string& input, const std::string& output) {
    TConversionOutcome outcome;
    try {
        host::TDamageRecord damage;
        TConversionLoaders loaders;
        for (const std::string& warning : LoadProgramPlugins()) outcome.Warn(warning);
        OpenPictureAndSave(input, output);
        for (const std::string& what : damage.Reports()) outcome.Warn(what);
    } catch (...) {
        const std::optional<std::string> report = CurrentErrorText();
        outcome.Fail(report ? TConversionStatus::Failed : TConversionStatus::Cancelled, report.value_or(""));
    }
    return outcome;
}

int RunOpenApplication(int argc, char** argv) {
    const std::vector<std::string> args = CommandLineArguments(argc, argv);
    if (const auto answered = AnswerCommandLine(CommandLine, args)) return *answered;
    InitializeUnits();
    const TConversionOutcome outcome = OpenConversion(args[0], args[1]);
    PrintOutcome(outcome);
    FinalizeUnits();
    return outcome.ExitStatus();
}
