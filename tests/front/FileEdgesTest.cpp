// Outputs, inputs and temporary files at the edges: devices, pipes, sockets, kills, full
// disks, damaged inputs and hostile text. Each row is a reproduction of a fault once met.
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace testing_support;

namespace {

struct Reproduction {
    const char* fault;        // what went wrong before
    std::string script;       // bash in a fresh folder holding in.bin ("ABC"); $P pixmorph, $O pixmorph-open, $T test data, $S sources
    int exitCode;
    std::string err;          // standard error exactly, "@" standing for the folder
    std::string afterwards;   // bash test of what must be true afterwards
};

// A script that cannot run here (no root, no mount) exits with this status and is skipped.
constexpr int NotPermittedHere = 77;

std::string withFolder(std::string text, const std::string& folder) {
    for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + folder.size()))
        text.replace(at, 1, folder);
    return text;
}

// A folder u that nobody may write, and a command run as nobody.
const std::string NobodysFolder = "[ \"$(id -u)\" = 0 ] || exit 77; chmod 755 . && mkdir u && chmod 777 u && ";
const std::string AsNobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

// An input in a folder r that nobody may change, converted by nobody into u.
const std::string UndeletableInput = "chmod 644 in.bin && " + NobodysFolder + "mkdir r && cp in.bin r/ && chmod 755 r && " + AsNobody;

// Converts a fresh copy of the stripes sample with every code or extension of a list, into a
// pipe (as reached by the output name given) and into a file, and compares the two.
std::string intoPipeAndFile(const std::string& loop, const std::string& pipeOutput, const std::string& fileOutput) {
    return "for x in " + loop + "; do cat $S/samples/stripes.bmp > s.bmp; " + pipeOutput +
           " || exit; cat $S/samples/stripes.bmp > s.bmp; " + fileOutput + " || exit; done";
}

// Runs code from a pipe that stalls after three bytes, and kills it with SIGKILL once it
// holds its output file open (skipped where the file system has no unnamed files).
std::string killedWhileWriting(const std::string& code) {
    return "python3 -c 'import os; os.open(\".\", os.O_TMPFILE | os.O_RDWR, 0o600)' 2>/dev/null || exit 77;"
           " mkfifo f; (printf abc; exec sleep 60) > f & w=$!; $P f " + code + " out & p=$!;"
           " for i in $(seq 600); do ls -l /proc/$p/fd 2>/dev/null | grep \"$PWD/\" | grep -vq \"$PWD/f$\" && break;"
           " sleep 0.05; done; exec 2>/dev/null; kill -9 $p; kill $w; wait; exit 0";
}

const Reproduction Reproductions[] = {
    {"a device output was replaced by a regular file", "$P in.bin 109 /dev/null", 0, "", "test -c /dev/null"},
    {"a FIFO output was replaced, its reader got nothing", "mkfifo f; cat f > got & $P in.bin 109 f; s=$?; wait; exit $s",
     0, "", "test -p f && test \"$(cat got)\" = abc"},
    {"a FIFO input was deleted", "mkfifo f; printf abc > f & $P f 107 out; s=$?; wait; exit $s", 0, "",
     "test -p f && test \"$(cat out)\" = ABC"},
    {"/dev/stdin was deleted", "printf abc | $P /dev/stdin 107 out", 0, "", "test -e /dev/stdin && test \"$(cat out)\" = ABC"},
    {"a socket output was replaced",
     "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"s\")' && $P in.bin 109 s", 1,
     "Pixmorph: Cannot create file \"@/s\". A socket cannot be written as a file.\n", "test -S s && test -e in.bin"},
    {"the temporary was readable before it had its mode, and nothing was synced before the input went",
     // The leak checker cannot run under ptrace.
     "ASAN_OPTIONS=detect_leaks=0 strace -f -o trace -e trace=openat,fsync,linkat,rename,renameat2,unlink "
     "$P in.bin 107 out", 0, "",
     "test \"$(grep -oE 'O_TMPFILE, 0600|fsync|linkat|rename|unlink' trace | tr '\\n' ' ')\" = "
     "'O_TMPFILE, 0600 fsync linkat fsync unlink ' && ! test -e in.bin"},
    {"1010 killed mid-copy left a partial output", killedWhileWriting("1010"), 0, "", "test \"$(ls | tr '\\n' ' ')\" = 'f in.bin '"},
    {"a conversion killed mid-write left a stray temporary", "echo old > out; " + killedWhileWriting("107"), 0, "",
     "test \"$(cat out)\" = old && test \"$(ls | tr '\\n' ' ')\" = 'f in.bin out '"},
    {"1010 of a directory moved it", "mkdir d; $P d 1010 out", 1, "Pixmorph: Cannot open file \"@/d\". Is a directory.\n",
     "test -d d && ! test -e out"},
    {"108 of a directory moved it", "mkdir d; $P d 108 out", 1, "Pixmorph: Cannot open file \"@/d\". Is a directory.\n",
     "test -d d && ! test -e out"},
    {"1010 onto a full disk moved the input", "head -c 300000 /dev/zero > big; ulimit -f 100; $P big 1010 out", 1,
     "Pixmorph: Cannot create file \"@/out\". File too large.\n", "test -s big && test \"$(ls | tr '\\n' ' ')\" = 'big in.bin '"},
    {"a full disk said only \"Stream write error.\"", "$P in.bin 109 /dev/full", 1,
     "Pixmorph: Cannot create file \"/dev/full\". No space left on device.\n", "test -c /dev/full && test -e in.bin"},
    {"a HIPS header line cleared the screen and set the title",
     "printf 'n\\ns\\n1\\nd\\n\\033]0;owned\\007\\033[2J\\n' > x.hips; $P x.hips 1 out.bmp", 1,
     "Pixmorph: '\\x1b]0;owned\\x07\\x1b[2J' is not a valid integer value.\n", "test -e x.hips"},
    {"a truncated JPEG converted silently and was deleted", "head -c 3000 $T/jpeg/libjpeg-turbo/testorig.jpg > cut.jpg; $P cut.jpg 1 out.bmp",
     0, "Pixmorph: warning: Premature end of JPEG file\nPixmorph: warning: Corrupt JPEG data: premature end of data segment\n",
     "test -s cut.jpg && test -s out.bmp"},
    {"a JPEG with a corrupt scan converted silently and was deleted",
     "cat $T/jpeg/libjpeg-turbo/testorig.jpg > bad.jpg; printf '\\377\\320' | dd of=bad.jpg bs=1 seek=3000 conv=notrunc 2>/dev/null;"
     " $P bad.jpg 1 out.bmp", 0, "Pixmorph: warning: Corrupt JPEG data: premature end of data segment\n"
     "Pixmorph: warning: Corrupt JPEG data: 2766 extraneous bytes before marker 0xd9\n", "test -s bad.jpg && test -s out.bmp"},
    {"a truncated GIF opened silently", "head -c 2000 $T/gif/giflib/pic/porsche.gif > cut.gif; $O cut.gif out.bmp", 0,
     "Pixmorph: warning: GIF: Premature end of data\n", "test -s cut.gif && test -s out.bmp"},
    {"1010 of an unreadable input moved it", "chmod 600 in.bin && " + NobodysFolder + AsNobody + "$P in.bin 1010 u/out", 1,
     "Pixmorph: Cannot open file \"@/in.bin\". Permission denied.\n", "test -e in.bin && ! test -e u/out"},
    {"108 of an unreadable regular file was lost", "chmod 600 in.bin && " + NobodysFolder + "mv in.bin u/ && " + AsNobody + "$P u/in.bin 108 u/out", 0, "", "! test -e u/in.bin && test \"$(cat u/out)\" = ABC"},
    {"/dev/stdin read from a file was deleted", "$P /dev/stdin 107 out < in.bin", 0, "", "test -L /dev/stdin && test -e in.bin"},
    {"108 onto an existing output lost the input", "echo old > out; $P in.bin 108 out", 1,
     "Pixmorph: Cannot create file \"@/out\". File exists.\n", "test \"$(cat out)\" = old && test -e in.bin"},
    {"a link to a device was replaced", "ln -s /dev/null l; $P in.bin 109 l", 0, "", "test -L l && test -c /dev/null"},
    {"a JPEG written into a FIFO was lost", "cat $S/samples/stripes.bmp > s.bmp; mkfifo f; cat f > got & $P s.bmp 101 f; s=$?; wait; exit $s",
     0, "", "test -p f && test \"$(head -c 2 got | od -An -tx1)\" = ' ff d8' && ! test -e s.bmp"},
    {"code 100 into a FIFO lost the rows it copies inside the kernel",
     "cat $S/samples/sunset.bmp > s.bmp; mkfifo f; cat f > got & $P s.bmp 100 f; s=$?; wait; exit $s", 0, "",
     "test -p f && $P s.bmp 100 file.bmp && cmp got file.bmp"},
    {"code 100 over the file size limit said only \"Stream write error.\"",
     "cat $S/samples/sunset.bmp > s.bmp; ulimit -f 10; $P s.bmp 100 out.bmp", 1,
     "Pixmorph: Cannot create file \"@/out.bmp\". File too large.\n", "! test -e out.bmp && test -s s.bmp"},
    {"the codec path on a full disk said only \"Stream write error.\"", "ln -s /dev/full full.png; $P $S/samples/stripes.bmp 3 full.png",
     1, "Pixmorph: Cannot create file \"@/full.png\". No space left on device.\n", "test -L full.png"},
    {"a full file system lost the earlier output",
     "mkdir m && mount -t tmpfs -o size=64k tmpfs m || exit 77; echo old > m/out; head -c 300000 /dev/zero > big;"
     " $P big 107 m/out; s=$?; cat m/out > kept; ls -A m > left; umount m; exit $s", 1,
     "Pixmorph: Cannot create file \"@/m/out\". No space left on device.\n",
     "test \"$(cat kept)\" = old && test \"$(cat left)\" = out && test -s big"},
    {"a line break in a message split the report and control bytes reached the terminal",
     "$P $'a\\r\\nb\\x1b\\xc2\\x9bc' 107 out", 1,
     "Pixmorph: Cannot open file \"@/a b\\x1b\\x9bc\". No such file or directory.\n", "! test -e out"},
    {"SIGTERM, SIGHUP, SIGINT or SIGQUIT left a half-written temporary where there are no unnamed files",
     // m: a FUSE file system (no unnamed files there) over s.
     "[ \"$(id -u)\" = 0 ] && command -v bindfs >/dev/null && mkdir s m && bindfs s m || exit 77; for sig in TERM HUP INT QUIT; do mkfifo f; (printf abc; exec sleep 60) > f & w=$!;"
     " env --default-signal=INT,QUIT $P f 107 m/out & p=$!; for i in $(seq 600); do"
     " ls -l /proc/$p/fd 2>/dev/null | grep -q \"$PWD/m/pixmorph-\" && break; sleep 0.05; done;"
     " kill -$sig $p; wait $p; echo $? >> ends; kill $w; wait; rm f; done 2>/dev/null;"
     // FUSE keeps a removed file that is still open under a hidden name until it is closed.
     " umount m; ls -A s | grep -v '^\\.fuse_hidden' > left; exit 0", 0, "",
     "test \"$(cat ends | tr '\\n' ' ')\" = '143 129 130 131 ' && ! test -s left"},
    {"SIGKILL between the hidden link and the rename left a copy that stayed for good",
     "command -v strace >/dev/null || exit 77; echo old > out; { ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null"
     " -e trace=rename -e inject=rename:signal=SIGKILL $P in.bin 109 out; } 2>/dev/null; ls -A > killed;"
     // A hidden name whose process lives (it holds the lock) is not touched, nor one of another output.
     " h=$(python3 -c 'h=0xcbf29ce484222325\nfor c in b\"out\": h=((h^c)*0x100000001b3)%2**64\nprint(\"%016x\"%h)');"
     " touch .pixmorph-0000000000000000-0; exec 9> .pixmorph-$h-7 && flock 9 && $P in.bin 109 out; s=$?; echo $h > hash;"
     " exit $s", 0, "",
     "test \"$(cat killed | tr '\\n' ' ')\" = \".pixmorph-$(cat hash)-0 in.bin killed out \" && test \"$(cat out)\" = abc &&"
     " test \"$(ls -A | tr '\\n' ' ')\" = \".pixmorph-0000000000000000-0 .pixmorph-$(cat hash)-7 hash in.bin killed out \""},
    {"code 5 into a FIFO named .png or .mng sent 33 bytes, then \"Illegal seek\" naming no path",
     intoPipeAndFile("png mng bmp pcx jpg ico wmf emf", "mkfifo f.$x; cat f.$x > got.$x & $P s.bmp 5 f.$x; s=$?; wait; (exit $s)",
                     "$P s.bmp 5 file.$x"), 0, "",
     "for x in png mng bmp pcx jpg ico wmf emf; do test -p f.$x && cmp got.$x file.$x || exit; done; pngcheck -q got.png"},
    {"/dev/stdout on a pipe was refused as \"No such file or directory\"",
     intoPipeAndFile("100 101 102 103 104 105 106 107", "$P s.bmp $x /dev/stdout | cat > got.$x", "$P s.bmp $x file.$x") +
     "; cat $S/samples/stripes.bmp > s.bmp; $P s.bmp 104 /dev/fd/3 3>&1 >/dev/null | cat > fd3.png", 0, "",
     "for x in 100 101 102 103 104 105 106 107; do cmp got.$x file.$x || exit; done; cmp fd3.png file.104"},
    {"108 of a link to a file it could not read moved the link and left it dangling",
     // Where the file can be read, the link goes only once the copy is complete.
     "chmod 600 in.bin && " + NobodysFolder + "mkdir -m 777 u/d && ln -s ../in.bin u/l && " + AsNobody +
     "$P u/l 108 u/d/out; s=$?; test -e u/d/out -o -L u/d/out && exit 9; $P u/l 108 u/d/out && exit $s", 1,
     "Pixmorph: Cannot open file \"@/u/l\". Permission denied.\n",
     "! test -L u/l && test -e in.bin && ! test -L u/d/out && test \"$(cat u/d/out)\" = ABC"},
    {"an input that could not be deleted stayed in silence", UndeletableInput + "$P r/in.bin 107 u/out", 0,
     "Pixmorph: warning: Cannot delete file \"@/r/in.bin\". Permission denied.\n",
     "test -e r/in.bin && test \"$(cat u/out)\" = '!\"#'"},
    {"108 silently became a copy when the input could not be deleted", UndeletableInput + "$P r/in.bin 108 u/out", 0,
     "Pixmorph: warning: Cannot delete file \"@/r/in.bin\", so it was copied, not moved. Permission denied.\n",
     "test -e r/in.bin && test \"$(cat u/out)\" = ABC"},
    {"a folder as output said \"Unsupported file format: \"", "cat $S/samples/stripes.bmp > s.bmp; mkdir d; $P s.bmp 5 d", 1,
     "Pixmorph: Cannot create file \"@/d\". Is a directory.\n", "test -d d && test -s s.bmp"},
    {"108 and 1010 onto an existing output on a full disk said \"No space left\"",
     "mkdir m && mount -t tmpfs -o size=64k tmpfs m || exit 77; echo old > m/out; head -c 300000 /dev/zero > big;"
     " $P big 108 m/out; a=$?; $P big 1010 m/out; b=$?; cat m/out > kept; umount m; [ $a = 1 ] && exit $b", 1,
     "Pixmorph: Cannot create file \"@/m/out\". File exists.\nPixmorph: Cannot create file \"@/m/out\". File exists.\n",
     "test \"$(cat kept)\" = old && test -s big"},
    {"an output that is a loop of links was replaced by a regular file", "ln -s l1 l2; ln -s l2 l1; $P in.bin 109 l1", 1,
     "Pixmorph: Cannot create file \"@/l1\". Too many levels of symbolic links.\n", "test -L l1 && test -L l2"},
};

}  // namespace

TEST(FileEdges, EveryReproductionKeepsOutputsInputsAndMessagesSound) {
    PIXMORPH_REQUIRE_TESTDATA();
    std::string skipped;
    for (const Reproduction& r : Reproductions) {
        TempDir dir;
        writeFile(dir / "in.bin", std::string("ABC"));
        const std::string setup = "cd '" + dir.path() + "' && P='" PIXMORPH_BINARY "' O='" PIXMORPH_OPEN_BINARY "' T='" +
                                  testdataRoot() + "' S='" PIXMORPH_SOURCE_DIR "'; ";
        const RunResult run = runProgram({"/bin/bash", "-c", setup + r.script});
        if (run.exitCode == NotPermittedHere) {
            skipped += std::string("\n") + r.fault;
            continue;
        }
        EXPECT_EQ(run.exitCode, r.exitCode) << r.fault << "\n" << run.err;
        EXPECT_EQ(run.err, withFolder(r.err, dir.path())) << r.fault;
        const RunResult check = runProgram({"/bin/bash", "-c", setup + r.afterwards});
        EXPECT_EQ(check.exitCode, 0) << r.fault << ": " << r.afterwards;
    }
    if (!skipped.empty()) GTEST_SKIP() << "needs root or mount here:" << skipped;
}
