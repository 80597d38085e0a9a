#include "front/OpenPicture.h"

#include <cstdio>
#include <new>
#include <vector>

#include "front/FileUtils.h"
#include "front/Main.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "image/LinearGraphic.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/MessageBox.h"
#include "plugins/ImageDLLLoader.h"

namespace {

constexpr int ExitCompleted = 0;
constexpr int ExitFailed = 1;
constexpr int ExitNotACall = 2;

const char* const UsageLine =
    "usage: pixmorph-open <input> <output>   (the input's picture class reads it, the output's codec writes it)";

}  // namespace

void OpenPictureAndSave(const std::string& input, const std::string& output) {
    host::TPicture picture;
    picture.LoadFromFile(input);
    TLinearBitmap image;
    if (auto* linear = dynamic_cast<TLinearGraphic*>(picture.Graphic()))
        image.TakeOver(linear->Image);
    else if (picture.Graphic())
        image.Assign(*picture.Graphic());
    TAtomicOutput target(output);
    image.SaveToFile(target.Path());
    target.Commit();
}

int RunOpenApplication(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::printf("%s\n", UsageLine);
        return ExitCompleted;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("pixmorph-open %s\n", PIXMORPH_VERSION);
        return ExitCompleted;
    }
    if (args.size() != 2) {
        std::fprintf(stderr, "%s\n", UsageLine);
        return ExitNotACall;
    }
    InitializeUnits();
    int status = ExitCompleted;
    try {
        ImageDLLLoader().LoadPlugins(ProgramDir, nullptr, nullptr);
        OpenPictureAndSave(args[0], args[1]);
    } catch (const EAbort&) {
        status = ExitFailed;
    } catch (const Exception& e) {
        host::ShowErrorBox(ApplicationTitle, MessageBoxText(e.Message()));
        status = ExitFailed;
    } catch (const std::bad_alloc&) {
        host::ShowErrorBox(ApplicationTitle, MessageBoxText("Out of memory"));
        status = ExitFailed;
    } catch (const std::exception& e) {
        host::ShowErrorBox(ApplicationTitle, MessageBoxText(e.what()));
        status = ExitFailed;
    }
    FinalizeUnits();
    return status;
}
