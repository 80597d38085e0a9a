#include "front/Main.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>

#include "codecs/BMPLoader.h"
#include "codecs/ICOLoader.h"
#include "front/FileUtils.h"
#include "front/FrontEnd.h"
#include "front/Units.h"
#include "gif/GIFImage.h"
#include "image/LinarBitmap.h"
#include "image/Orientation.h"
#include "mng/NGImages.h"
#include "platform/CheckedSize.h"
#include "platform/DamageReport.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "picture/BitmapFile.h"
#include "picture/Graphics.h"
#include "jpeg/JPEGImage.h"
#include "metafile/Metafile.h"
#include "streams/Streams.h"

namespace {

const char* const UsageLine = "usage: pixmorph <input> <code> <output>   (\"*\" in a path stands for a blank)";

const char* const CodeTable =
    "codes below 100: convert through the image library; the formats follow the file extensions\n"
    "                 (the input is deleted after a completed conversion)\n"
    "100   Windows bitmap to Windows bitmap                 input kept\n"
    "101   Windows bitmap to JPEG                           input deleted\n"
    "102   Windows bitmap to GIF                            input deleted\n"
    "103   Windows bitmap to icon                           input deleted\n"
    "104   Windows bitmap to PNG (libmng)                   input deleted\n"
    "105   Windows bitmap to JNG (libmng)                   input deleted\n"
    "106   Windows bitmap to metafile (.wmf, else .emf)     input deleted\n"
    "107   every byte shifted by -32                        input deleted\n"
    "108   move (copy, never overwriting)                   input deleted\n"
    "109   every byte shifted by +32                        input kept\n"
    "1010  copy, never overwriting                          input kept\n"
    "\noptions, before the three arguments: pixmorph [--strict] [--auto-orient] <input> <code> <output>\n"
    "  --strict       fail, writing nothing and keeping the input, when the output cannot hold\n"
    "                 all the input has (alpha, frames, depth, profile, orientation, colours)\n"
    "  --auto-orient  turn the pixels as the input's EXIF orientation says when the output\n"
    "                 cannot carry the orientation\n"
    "\nmany conversions from one start: pixmorph --batch [-j N] <manifest>   (see pixmorph --batch --help)\n";

const TCommandLineRules CommandLine{"pixmorph", UsageLine, CodeTable, 3};

// The platform icon class cannot take a bitmap, so the icon comes from the codec's own
// writer: one image, the codec's transparent colour masked.
TImageSize WriteBitmapAsIcon(const std::string& input, const std::string& output) {
    host::TBitmap bitmap;
    bitmap.LoadFromFile(input);
    // 1 and 4 bits keep their palette, so that the writer can keep them small.
    if (bitmap.PixelFormat() == host::pf1bit || bitmap.PixelFormat() == host::pf4bit)
        bitmap.SetPixelFormat(host::pf8bit);
    TLinearBitmap image;
    image.TakeOverPlatformBitmap(bitmap);
    WriteOutput(output, [&](const std::string& path) {
        TFileStream stream(path, fsRead | fsWrite | fsCreate);
        ICOLoader().SaveToStream(stream, "ICO", image);
        stream.Flush();
    });
    return {bitmap.Width(), bitmap.Height()};
}

// Code 100. A bitmap whose rows loading and saving would leave as they are keeps them:
// the saved headers, then its own rows, copied inside the kernel where the files allow.
// Any other is loaded and saved, from the same open file (a pipe cannot be opened twice).
TImageSize CopyBitmap(const std::string& input, const std::string& output) {
    host::TFileStream source(input, host::fmOpenRead);
    if (const auto plan = host::PlanBitmapFileCopy(source)) {
        // The rows are never held, but the named limits hold for every image converted.
        CheckImageLimits(plan->Width, plan->Rows);
        WriteOutput(output, [&](const std::string& path) {
            host::TFileStream dest(path, host::fmCreate);
            host::CopyBitmapFile(source, *plan, dest);
            dest.Close();
        });
        return {plan->Width, plan->Rows};
    }
    host::TBitmap bitmap;
    bitmap.LoadFromStream(source);
    WriteOutput(output, [&](const std::string& path) { bitmap.SaveToFile(path); });
    return {bitmap.Width(), bitmap.Height()};
}

// What a bitmap input holds that no output of the fixed codes keeps: an embedded profile
// and alpha. Asked of regular files only, since a pipe is read once, by the conversion;
// a file that cannot be asked is left to the conversion to report.
std::vector<std::string> BitmapInputLosses(const std::string& input) {
    if (host::KindOfFile(input) != host::FileKind::Regular) return {};
    try {
        TFileStream file(input, fsRead | fsShareRead);
        return LostInConversion(ReadBitmapFileMetadata(file), "BMP", "", false);
    } catch (const std::exception&) {
        return {};
    }
}

// The bytes of the output written, -1 for one that keeps no size (a device, a pipe).
int64_t WrittenBytes(const std::string& output) {
    struct stat info {};
    return ::stat(output.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<int64_t>(info.st_size) : -1;
}

// PIXMORPH_MAX_SECONDS: the system stops a conversion that has used its CPU seconds with
// SIGXCPU (RLIMIT_CPU), wherever it is, even in a library that never returns. The
// single call reports it and ends with the failure status; a batch worker dies of the
// signal, and the batch reports the limit for its line. Either way the output's private
// file is unnamed (or removed by the system's cleanup of the process) and the input stays.
volatile std::sig_atomic_t cpuLimitBySignal = 0;
char cpuLimitReport[512];
size_t cpuLimitReportSize = 0;

void OnCpuLimit(int signal) {
    host::RemovePrivateFilesNow();
    if (cpuLimitBySignal) {
        std::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, cpuLimitReport, cpuLimitReportSize);
    ::_exit(ExitFailed);
}

// Arms the CPU limit for one conversion: the process's soft RLIMIT_CPU becomes the CPU
// time it has used, rounded up, plus the limit; the earlier limit comes back after it.
class TCpuBudget {
public:
    TCpuBudget() {
        const int64_t seconds = NamedLimit(TNamedLimit::Seconds);
        if (seconds <= 0 || ::getrlimit(RLIMIT_CPU, &saved_) != 0) return;
        rusage usage {};
        ::getrusage(RUSAGE_SELF, &usage);
        const int64_t used = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1;
        const std::string report = "Pixmorph: " + MessageBoxText(CpuLimitMessage(seconds)) + "\n";
        cpuLimitReportSize = std::min(report.size(), sizeof cpuLimitReport);
        std::memcpy(cpuLimitReport, report.data(), cpuLimitReportSize);
        struct sigaction action {};
        action.sa_handler = OnCpuLimit;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGXCPU, &action, nullptr);
        rlimit budget = saved_;
        budget.rlim_cur = static_cast<rlim_t>(used + seconds);
        if (saved_.rlim_max != RLIM_INFINITY) budget.rlim_cur = std::min(budget.rlim_cur, saved_.rlim_max);
        if (saved_.rlim_cur != RLIM_INFINITY) budget.rlim_cur = std::min(budget.rlim_cur, saved_.rlim_cur);
        armed_ = ::setrlimit(RLIMIT_CPU, &budget) == 0;
    }
    ~TCpuBudget() {
        if (armed_) ::setrlimit(RLIMIT_CPU, &saved_);
    }
    TCpuBudget(const TCpuBudget&) = delete;
    TCpuBudget& operator=(const TCpuBudget&) = delete;

private:
    rlimit saved_ {};
    bool armed_ = false;
};

}  // namespace

void EndConversionsOverCpuLimitBySignal() { cpuLimitBySignal = 1; }

// ---------------------------------------------------------------- the codec path

void RefuseLossIfStrict(const std::vector<std::string>& lost, const TConversionOptions& options) {
    if (!options.Strict || lost.empty()) return;
    std::string names;
    for (const std::string& what : lost) names += (names.empty() ? "" : ", ") + what;
    throw EConvertError("The output cannot hold the input's " + names);
}

std::vector<std::string> LostInConversion(const TImageMetadata& metadata, const std::string& inputExt,
                                          const std::string& outputExt, bool orientated) {
    std::vector<std::string> lost;
    // One transparent colour is written back only by the codec that read it.
    const bool keyKept = metadata.TransparentColour && &Loaders->FindLoader(inputExt) == &Loaders->FindSaver(outputExt);
    if (metadata.AlphaDropped || (metadata.TransparentColour && !keyKept)) lost.emplace_back(LostAlpha);
    if (metadata.FramesDropped) lost.emplace_back(LostFrames);
    if (metadata.DepthReduced) lost.emplace_back(LostDepth);
    if (metadata.ProfileDropped || (!metadata.IccProfile.empty() && !CarriesProfile(outputExt)))
        lost.emplace_back(LostProfile);
    // Orientation 1 shows the pixels as they are: nothing is lost without it.
    if (metadata.Orientation >= 2 && !orientated && !CarriesOrientation(outputExt))
        lost.emplace_back(LostOrientation);
    return lost;
}

TCodecConversion ConvertWithCodecs(const std::string& input, const std::string& output,
                                   const TConversionOptions& options) {
    // The image crosses from the decoder to the encoder through a platform bitmap, as it
    // did through the window's image control: 16-bit grey arrives there as 8-bit grey.
    // The rows move rather than being copied wherever both sides store them alike; what
    // the decoder found beside them crosses beside the bitmap.
    auto handOver = std::make_unique<host::TBitmap>();
    TImageMetadata metadata;
    {
        TLinearBitmap decoded;
        decoded.LoadFromFile(input);
        metadata = std::move(decoded.Metadata);
        decoded.MoveToPlatformBitmap(*handOver);
    }
    const std::string outputExt = ExtractExtension(output);
    const bool orient = options.AutoOrient && metadata.Orientation >= 2 && !CarriesOrientation(outputExt);
    std::vector<std::string> lost = LostInConversion(metadata, ExtractExtension(input), outputExt, orient);
    RefuseLossIfStrict(lost, options);
    TLinearBitmap image;
    image.TakeOverPlatformBitmap(*handOver);
    handOver.reset();
    if (orient) {
        ApplyOrientation(image, metadata.Orientation);
        metadata.Orientation = 0;
    }
    image.Metadata = std::move(metadata);
    SaveWithCodecs(image, output, TAtomicOutput::OpenErrors::LibraryStream);
    return {{image.Width, image.Height}, lost};
}

void SaveWithCodecs(TLinearBitmap& image, const std::string& output, TAtomicOutput::OpenErrors errors) {
    // The codec comes first, by the output's name as typed (the file written may have
    // no name of its own yet); only then is a file opened. A folder has no codec: it is
    // refused as what it is before one is looked for.
    RefuseImpossibleOutput(output);
    const std::string ext = ExtractExtension(output);
    TBitmapLoader& saver = Loaders->FindSaver(ext);
    WriteOutput(output, [&](const std::string& path) { saver.SaveToFile(path, ext, image); }, errors);
}

// ---------------------------------------------------------------- TMainForm

std::string TMainForm::Argument(size_t index) const {
    return index >= 1 && index <= args_.size() ? args_[index - 1] : std::string();
}

std::string PreparedPath(std::string argument) {
    std::replace(argument.begin(), argument.end(), '*', ' ');
    return argument;
}

std::string TMainForm::PreparedPath(size_t index) const { return ::PreparedPath(Argument(index)); }

template <class Action>
void TMainForm::RunPhase(Action&& action) {
    try {
        action();
    } catch (...) {
        const std::optional<std::string> report = CurrentErrorText();
        if (!report)
            outcome_.Fail(TConversionStatus::Cancelled, {});
        else
            outcome_.Fail(notAConversion_ ? TConversionStatus::NotAConversion : TConversionStatus::Failed, *report);
    }
}

void TMainForm::Convert(int code) {
    const std::string input = PreparedPath(1);
    const std::string output = PreparedPath(3);
    host::TDamageRecord damage;
    TConversionLoaders loaders;
    if (code < FirstFixedCode) {
        for (const std::string& warning : LoadProgramPlugins()) outcome_.Warn(warning);
        TCodecConversion done = ConvertWithCodecs(input, output, options_);
        RecordSize(done.Size);
        outcome_.Lost = std::move(done.Lost);
    } else if (!RunFixedCode(Argument(2), input, output)) {
        // A code of 100 or more that is in no table entry used to end silently; the
        // parent application is told instead, with a status of its own.
        notAConversion_ = true;
        throw EConvertError(Format("Unsupported conversion code \"%s\"", Argument(2).c_str()));
    }
    completed_ = true;
    outcome_.Bytes = WrittenBytes(output);
    // A damaged input converted as far as it went: its output is written, and the input
    // stays, since it may hold more than the decoder could read of it.
    for (const std::string& what : damage.Reports()) outcome_.Warn(what);
    damaged_ = !damage.Reports().empty();
    if (code >= FirstFixedCode && FixedCodeDeletesInput(Argument(2)) && !damaged_)
        KeepInputWarning(DeleteConvertedInput(input, output, Argument(2) == "108" ? TInputFate::Moved : TInputFate::Converted));
}

void TMainForm::FormCreate() {
    RunPhase([&] {
        code_ = StrToInt(Argument(2));
        Convert(*code_);
    });
}

void TMainForm::FormShow() {
    // The code was read by the creation phase; one that could not be read was reported there.
    RunPhase([&] {
        if (code_ && *code_ < FirstFixedCode && completed_ && !damaged_)
            KeepInputWarning(DeleteConvertedInput(PreparedPath(1), PreparedPath(3)));
    });
}

void TMainForm::KeepInputWarning(const std::optional<std::string>& warning) {
    // An input that could not be deleted is a warning: the output is complete.
    if (warning) outcome_.Warn(*warning);
}

void TMainForm::RecordSize(TImageSize size) {
    outcome_.Width = size.Width;
    outcome_.Height = size.Height;
}

namespace {

// The fixed table's codes, as written there, and whether a completed conversion deletes
// its input.
struct TFixedCode {
    const char* Code;
    bool DeletesInput;
};
constexpr TFixedCode FixedCodes[] = {{"100", false}, {"101", true}, {"102", true}, {"103", true},
                                     {"104", true},  {"105", true}, {"106", true}, {"107", true},
                                     {"108", true},  {"109", false}, {"1010", false}};

const TFixedCode* FindFixedCode(const std::string& code) {
    for (const TFixedCode& fixed : FixedCodes)
        if (code == fixed.Code) return &fixed;
    return nullptr;
}

}  // namespace

bool TMainForm::FixedCodeDeletesInput(const std::string& code) {
    const TFixedCode* fixed = FindFixedCode(code);
    return fixed && fixed->DeletesInput;
}

bool ConversionDeletesInput(const std::string& code) {
    int value = 0;
    return NamesAConversion(code) && TryStrToInt(code, value) &&
           (value < FirstFixedCode || TMainForm::FixedCodeDeletesInput(code));
}

bool TMainForm::RunFixedCode(const std::string& code, const std::string& input, const std::string& output) {
    const bool fromBitmap = code >= "100" && code <= "106" && code.size() == 3;
    if (fromBitmap) outcome_.Lost = BitmapInputLosses(input);
    if (fromBitmap && code != "102") RefuseLossIfStrict(outcome_.Lost, options_);
    if (code == "100") {
        RecordSize(CopyBitmap(input, output));
    } else if (code == "101") {
        host::TBitmap bitmap;
        bitmap.LoadFromFile(input);
        // Compressed at once, from the bitmap's own rows: colour, quality 90, baseline.
        host::TJPEGImage jpeg;
        jpeg.Assign(bitmap);
        RecordSize(TImageSize{bitmap.Width(), bitmap.Height()});
        WriteOutput(output, [&](const std::string& path) { jpeg.SaveToFile(path); });
    } else if (code == "102") {
        TGIFImage gif;
        {
            // The bitmap goes as soon as the frame holds its colour indices.
            host::TBitmap bitmap;
            bitmap.LoadFromFile(input);
            // Deeper bitmaps are mapped to the colour cube of the GIF's table.
            if (bitmap.PixelFormat() > host::pf8bit || bitmap.PixelFormat() == host::pfDevice)
                outcome_.Lost.emplace_back(LostColours);
            RefuseLossIfStrict(outcome_.Lost, options_);
            gif.Assign(bitmap);
            RecordSize(TImageSize{bitmap.Width(), bitmap.Height()});
        }
        WriteOutput(output, [&](const std::string& path) { gif.SaveToFile(path); });
    } else if (code == "103") {
        RecordSize(WriteBitmapAsIcon(input, output));
    } else if (code == "104" || code == "105") {
        // libmng is loaded here, by the first image that needs it, and by nothing else.
        host::TBitmap bitmap;
        bitmap.LoadFromFile(input);
        ng::TNGImage image;
        RecordSize(TImageSize{bitmap.Width(), bitmap.Height()});
        image.TakeOver(bitmap);
        WriteOutput(output, [&](const std::string& path) {
            if (code == "104")
                image.SavePNGToFile(path);
            else
                image.SaveJNGToFile(path);
        });
    } else if (code == "106") {
        // The bitmap drawn once into a new recording; ".wmf" gives a placeable Windows
        // metafile, any other extension an enhanced one.
        host::TMetafile metafile;
        {
            host::TBitmap bitmap;
            bitmap.LoadFromFile(input);
            metafile.SetHeight(bitmap.Height());
            metafile.SetWidth(bitmap.Width());
            RecordSize(TImageSize{bitmap.Width(), bitmap.Height()});
            host::TMetafileCanvas canvas(metafile);
            canvas.Draw(0, 0, bitmap);
        }
        metafile.SetEnhanced(ExtractExtension(output) != "WMF");
        WriteOutput(output, [&](const std::string& path) { metafile.SaveToFile(path); });
    } else if (code == "107") {
        ShiftFileBytes(input, output, -32);
    } else if (code == "108") {
        RelocateFile(input, output, TRelocation::CopyOrMove);
    } else if (code == "109") {
        ShiftFileBytes(input, output, +32);
    } else if (code == "1010") {
        // A copy that cannot be made fails: moving would lose the input this code keeps.
        RelocateFile(input, output, TRelocation::CopyOnly);
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the program

bool NamesAConversion(const std::string& code) {
    int value = 0;
    return TryStrToInt(code, value) && (value < FirstFixedCode || FindFixedCode(code));
}

TConversionOptions TakeConversionOptions(std::vector<std::string>& args) {
    TConversionOptions options;
    size_t taken = 0;
    for (; args.size() - taken > 3; ++taken) {
        if (args[taken] == StrictOption)
            options.Strict = true;
        else if (args[taken] == AutoOrientOption)
            options.AutoOrient = true;
        else
            break;
    }
    args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(taken));
    return options;
}

TConversionOutcome RunConversion(const std::vector<std::string>& args, const TConversionOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    const TCpuBudget budget;
    TMainForm form(args, options);
    form.FormCreate();
    form.FormShow();
    TConversionOutcome outcome = form.Outcome();
    outcome.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

int RunApplication(int argc, char** argv) {
    std::vector<std::string> args = CommandLineArguments(argc, argv);
    const TConversionOptions options = TakeConversionOptions(args);
    if (const auto answered = AnswerCommandLine(CommandLine, args)) return *answered;
    InitializeUnits();
    const TConversionOutcome outcome = RunConversion(args, options);
    PrintOutcome(outcome);
    FinalizeUnits();
    return outcome.ExitStatus();
}
