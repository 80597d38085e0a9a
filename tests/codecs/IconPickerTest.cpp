// The icon picker as a person meets it: the real binary on a pseudo-terminal, answered
// through the terminal; and the same conversion without a terminal, which never asks.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "TestSupport.h"
#include "codecs/IconFiles.h"

using namespace testing_support;
using namespace icon_files;

namespace {

const char* const Prompt = "c: Cancel\r\n> ";

// The binary running on a pseudo-terminal that is its standard input, output and error.
class TerminalSession {
public:
    explicit TerminalSession(const std::vector<std::string>& args) {
        winsize size{};
        size.ws_row = 50;
        size.ws_col = 120;
        pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            std::vector<char*> argv{const_cast<char*>(PIXMORPH_BINARY)};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(PIXMORPH_BINARY, argv.data());
            ::_exit(127);
        }
    }
    ~TerminalSession() {
        if (pid_ > 0 && !finished_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }
    bool started() const { return pid_ > 0 && master_ >= 0; }

    // Everything the terminal showed since the last call, up to and including the next
    // `text`; empty when it does not come within ten seconds.
    std::string until(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const size_t found = screen_.find(text, consumed_);
            if (found != std::string::npos) {
                std::string part = screen_.substr(consumed_, found + text.size() - consumed_);
                consumed_ = found + text.size();
                return part;
            }
            if (std::chrono::steady_clock::now() > deadline || !readSome()) return "";
        }
    }
    void type(const std::string& text) { ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    // Reads to the end and returns the exit status; the rest of the screen is in `rest`.
    int finish(std::string& rest) {
        while (readSome()) {
        }
        rest = screen_.substr(consumed_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        finished_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    bool readSome() {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, 10000) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;  // the program has gone: the terminal reports EIO
        screen_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    bool finished_ = false;
    std::string screen_;
    size_t consumed_ = 0;
};

RGBAImage decodeBmp(const std::string& path) { return decodeWithConvert(path, 0); }

}  // namespace

TEST(IconPicker, ChoosingTheSecondImageAndAnotherColourOnTheTerminalConvertsThatImage) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    const std::string icon = testdata("ico/image-rs/images/smile.ico");
    writeFile(dir / "in.ico", readFile(icon));
    TerminalSession session({dir / "in.ico", "5", dir / "out.bmp"});
    ASSERT_TRUE(session.started());

    std::string screen = session.until(Prompt);
    EXPECT_NE(screen.find("Select icon to import from file"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Icon 32 x 32 4 bit"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Icon 16 x 16 4 bit"), std::string::npos) << screen;
    EXPECT_NE(screen.find("$ff00ff"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Note that writing of files with multiple icons is not supported."), std::string::npos);

    session.type("2\n");
    screen = session.until(Prompt);
    EXPECT_NE(screen.find(" >  2  Icon 16 x 16 4 bit"), std::string::npos) << screen;

    session.type("t\n");
    ASSERT_NE(session.until("keep): "), "");
    session.type("00ff00\n");
    screen = session.until(Prompt);
    EXPECT_NE(screen.find("$00ff00"), std::string::npos) << screen;

    session.type("\n");
    std::string rest;
    EXPECT_EQ(session.finish(rest), 0) << rest;
    EXPECT_EQ(rest.find("Pixmorph:"), std::string::npos) << rest;
    EXPECT_FALSE(fileExists(dir / "in.ico"));

    // The second image, with green where its mask is set.
    const RGBAImage expected = decodeWithConvert(icon, 1);
    const RGBAImage written = decodeBmp(dir / "out.bmp");
    ASSERT_EQ(expected.width, 16);
    ASSERT_EQ(written.width, 16);
    ASSERT_EQ(written.height, 16);
    int masked = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const bool transparent = expected.alphaAt(x, y) == 0;
            masked += transparent;
            ASSERT_EQ(written.rgbAt(x, y), transparent ? 0x00FF00u : expected.rgbAt(x, y)) << x << "," << y;
        }
    EXPECT_GT(masked, 0);
}

TEST(IconPicker, CancellingOnTheTerminalWritesNothingKeepsTheInputAndReportsNothingEvenAfterAColourChange) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    writeFile(dir / "in.ico", readFile(testdata("ico/image-rs/images/smile.ico")));
    TerminalSession session({dir / "in.ico", "5", dir / "out.bmp"});
    ASSERT_TRUE(session.started());
    ASSERT_NE(session.until(Prompt), "");
    // The colour dialog refuses what is no colour and offers custom colour A.
    session.type("t\n");
    ASSERT_NE(session.until("keep): "), "");
    session.type("purple\n");
    EXPECT_NE(session.until("keep): ").find("Not a colour: purple"), std::string::npos);
    session.type("a\n");
    EXPECT_NE(session.until(Prompt).find("$fe00ff"), std::string::npos);
    session.type("c\n");
    std::string rest;
    EXPECT_EQ(session.finish(rest), 1) << "a cancel exits 1";
    EXPECT_EQ(rest.find("Pixmorph:"), std::string::npos) << rest;
    EXPECT_TRUE(fileExists(dir / "in.ico"));
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"in.ico"});
}

TEST(IconPicker, WithoutATerminalTheFirstImageIsTakenWithoutAsking) {
    PIXMORPH_REQUIRE_TESTDATA();
    TempDir dir;
    const std::string icon = testdata("ico/image-rs/images/smile.ico");
    writeFile(dir / "in.ico", readFile(icon));
    const auto r = runPixmorph({dir / "in.ico", "5", dir / "out.bmp"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const RGBAImage expected = decodeWithConvert(icon, 0);
    const RGBAImage written = decodeBmp(dir / "out.bmp");
    ASSERT_EQ(written.width, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(written.rgbAt(x, y), expected.alphaAt(x, y) == 0 ? 0xFF00FFu : expected.rgbAt(x, y));
}
