// File helpers, progress accounting, CRC-32 and the setup log: natively and under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "util/setup_log.h"
#include "testutil.h"
#include "util/util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#ifdef _WIN32
static const char *const EOL = "\r\n";
#else
static const char *const EOL = "\n";
#endif

static std::string cause(unsigned long code) {
    char text[512];
    describe_error(code, text, sizeof text);
    return text;
}

TEST(MakeDirs, CreatesEveryLevelWithEitherSeparatorAndRefusesAFile) {
    TempDir t;
    EXPECT_EQ(make_dirs(t.sub("A\\B\\C").c_str()), 1);
    EXPECT_EQ(is_dir(t.sub("A\\B\\C").c_str()), 1);
    EXPECT_EQ(make_dirs((t.path() + "/D/E").c_str()), 1) << "forward slashes must split levels too";
    EXPECT_EQ(is_dir(t.sub("D\\E").c_str()), 1);
    EXPECT_EQ(make_dirs(t.sub("A\\B").c_str()), 1) << "an existing folder counts as success";

    put(t.host("F"), "x");
    EXPECT_EQ(make_dirs(t.sub("F").c_str()), 0) << "a file standing at the path is not a folder";
    EXPECT_EQ(make_dirs(t.sub("F\\G").c_str()), 0);
    EXPECT_EQ(path_exists(t.sub("F").c_str()), 1);
    EXPECT_EQ(is_dir(t.sub("F").c_str()), 0);
    EXPECT_EQ(path_exists(t.sub("nothing").c_str()), 0);
}

TEST(CopyFile, ReportsEachMebibyteChunkAndKeepsTheBytes) {
    TempDir t;
    std::string data(2 * 1024 * 1024 + 512 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
    put(t.host("big.bin"), data);

    Tally calls(100, 5000000);
    ASSERT_EQ(copy_file(t.sub("big.bin").c_str(), t.sub("new\\dir\\big.bin").c_str(), &calls.p), 1);
    EXPECT_EQ(contents(t.host("new/dir/big.bin")), data);
    ASSERT_EQ(calls.done.size(), 3u) << "a 2.5 MiB copy is three chunks";
    EXPECT_EQ(calls.done[0], 100u + 1048576u);
    EXPECT_EQ(calls.done[1], 100u + 2097152u);
    EXPECT_EQ(calls.done[2], 100u + 2621440u);
    EXPECT_EQ(calls.total, 5000000u);
    EXPECT_EQ(calls.p.done, 100u + data.size());
}

// A stop asked for from another thread (the window's Cancel) ends a copy at its next chunk; over an
// earlier file the copy writes in place, so a copy that ends early keeps the earlier bytes behind it,
// and one that ends whole cuts what lay beyond.
TEST(CopyFile, AStopEndsTheCopyAtItsNextChunkAndAnEarlierFileKeepsItsTail) {
    TempDir t;
    std::string data(3 * 1024 * 1024, 'n'), old(4 * 1024 * 1024, 'o');
    put(t.host("new.bin"), data);
    put(t.host("dest.bin"), old);
    struct Stopper {
        static void hear(uint64_t, uint64_t, void *) { copy_stop(1); }
    };
    Progress stop_after_one = {0, 0, &Stopper::hear, nullptr};
    EXPECT_EQ(copy_file(t.sub("new.bin").c_str(), t.sub("dest.bin").c_str(), &stop_after_one), 0);
    EXPECT_TRUE(copy_stopping());
    copy_stop(0);
    EXPECT_EQ(contents(t.host("dest.bin")), data.substr(0, 1024 * 1024) + old.substr(1024 * 1024));
    ASSERT_EQ(copy_file(t.sub("new.bin").c_str(), t.sub("dest.bin").c_str(), nullptr), 1);
    EXPECT_EQ(contents(t.host("dest.bin")), data);
}

TEST(CopyFile, EmptyAndMissingSources) {
    TempDir t;
    LogCapture log;
    put(t.host("empty"), "");
    Tally calls(0, 10);
    ASSERT_EQ(copy_file(t.sub("empty").c_str(), t.sub("out\\empty").c_str(), &calls.p), 1);
    EXPECT_EQ(path_exists(t.sub("out\\empty").c_str()), 1);
    EXPECT_EQ(contents(t.host("out/empty")), "");
    EXPECT_TRUE(calls.done.empty()) << "an empty file reports no chunk";

    std::string missing = t.sub("no-such-file");
    EXPECT_EQ(copy_file(missing.c_str(), t.sub("made\\copy").c_str(), &calls.p), 0);
    EXPECT_EQ(is_dir(t.sub("made").c_str()), 1) << "the destination folder is made before the source opens";
    EXPECT_EQ(path_exists(t.sub("made\\copy").c_str()), 0);
    EXPECT_EQ(log.text(), "cannot read " + missing + "\n");
}

TEST(CopyFile, DestinationThatCannotBeCreated) {
    TempDir t;
    LogCapture log;
    put(t.host("src"), "abc");
    make_dirs(t.sub("blocker").c_str());
    EXPECT_EQ(copy_file(t.sub("src").c_str(), t.sub("blocker").c_str(), nullptr), 0);
    EXPECT_EQ(log.text(), "cannot write " + t.sub("blocker") + "\n");
}

TEST(WriteFile, WritesReplacesAndReportsDeniedWithErrorFive) {
    TempDir t;
    LogCapture log;
    ASSERT_EQ(write_file(t.sub("a\\b\\f.bin").c_str(), "hello", 5), 1);
    EXPECT_EQ(contents(t.host("a/b/f.bin")), "hello");
    ASSERT_EQ(write_file(t.sub("a\\b\\f.bin").c_str(), "hi", 2), 1);
    EXPECT_EQ(contents(t.host("a/b/f.bin")), "hi") << "an existing file is replaced, not overwritten in part";
    ASSERT_EQ(write_file(t.sub("zero").c_str(), "", 0), 1);
    EXPECT_EQ(path_exists(t.sub("zero").c_str()), 1);
    EXPECT_EQ(log.text(), "");

    // A folder standing at the path: access denied on Windows, Wine and here alike.
    make_dirs(t.sub("dir").c_str());
    EXPECT_EQ(write_file(t.sub("dir").c_str(), "x", 1), 0);
    EXPECT_EQ(log.text(), "cannot write " + t.sub("dir") + " (" + cause(5) + ")\n");
}

#ifndef _WIN32
TEST(WriteFile, ImmutableFileIsDenied) {
    TempDir t;
    put(t.host("locked"), "keep");
    std::string cmd = "chattr +i '" + t.host("locked") + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "this file system cannot make a file immutable";
    LogCapture log;
    int ok = write_file(t.sub("locked").c_str(), "x", 1);
    std::system(("chattr -i '" + t.host("locked") + "'").c_str());
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(log.text(), "cannot write " + t.sub("locked") + " (" + cause(5) + ")\n");
    EXPECT_EQ(contents(t.host("locked")), "keep");
}
#endif

TEST(ReadFile, WholeFileEmptyFileAndMissingFile) {
    TempDir t;
    put(t.host("text"), "CUE\x01");
    uint64_t n = 99;
    uint8_t *b = read_file(t.sub("text").c_str(), &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(memcmp(b, "CUE\x01", 4), 0);
    b[n] = 0;  // the spare byte for a terminating zero is there (ASan checks)
    free(b);

    put(t.host("empty"), "");
    n = 99;
    b = read_file(t.sub("empty").c_str(), &n);
    ASSERT_NE(b, nullptr) << "an empty file still gives a buffer";
    EXPECT_EQ(n, 0u);
    free(b);

    n = 77;
    EXPECT_EQ(read_file(t.sub("missing").c_str(), &n), nullptr);
    EXPECT_EQ(n, 77u) << "the size stays untouched on failure";
    EXPECT_EQ(read_file(t.path().c_str(), &n), nullptr) << "a folder is not a file";
}

TEST(DeleteTree, RemovesReadOnlyAndNestedContentButNeverFollowsALink) {
    TempDir t;
    make_dirs(t.sub("tree\\sub\\deeper").c_str());
    put(t.host("tree/a.txt"), "a");
    put(t.host("tree/sub/deeper/b.txt"), "b");
    put(t.host("tree/sub/ro.txt"), "r");
    make_read_only(t.sub("tree\\sub\\ro.txt"));
    // A link inside the tree that leads to a folder outside it: its target must survive.
    make_dirs(t.sub("outside").c_str());
    put(t.host("outside/precious.txt"), "keep me");
    bool have_link = false;
#ifdef _WIN32
    // Wine may report success without making a link; the end-to-end uninstall test covers links there.
    have_link = CreateSymbolicLinkA(t.sub("tree\\link").c_str(), t.sub("outside").c_str(),
                                    SYMBOLIC_LINK_FLAG_DIRECTORY) != 0 &&
                (pf_attributes(t.sub("tree\\link").c_str()) & PF_ATTR_REPARSE);
#else
    have_link = symlink(t.host("outside").c_str(), t.host("tree/link").c_str()) == 0;
    EXPECT_TRUE(have_link);
#endif

    EXPECT_EQ(delete_tree(t.sub("tree").c_str()), 1);
    EXPECT_EQ(path_exists(t.sub("tree").c_str()), 0);
    EXPECT_EQ(contents(t.host("outside/precious.txt")), "keep me")
        << (have_link ? "delete_tree followed a link out of the tree" : "no link could be made here");
    EXPECT_EQ(delete_tree(t.sub("tree").c_str()), 0) << "a missing folder is a failure";
}

#ifndef _WIN32
// A folder whose path fills the path buffer up to its separator: a child's path would be cut back to
// the folder itself, and following it would recurse without end.
TEST(DeleteTree, ChildPathThatDoesNotFitIsLeftAlone) {
    TempDir t;
    std::string deep = t.path();
    while (deep.size() + 101 < PATH_BUF - 2) deep += "/" + std::string(100, 'd');
    deep += "/" + std::string(PATH_BUF - 2 - deep.size() - 1, 'e');
    ASSERT_EQ(deep.size(), PATH_BUF - 2);  // "deep\" is the longest path that still fits
    ASSERT_EQ(make_dirs(deep.c_str()), 1);
    ASSERT_TRUE(std::filesystem::create_directory(deep + "/sub"));
    EXPECT_EQ(delete_tree(deep.c_str()), 0) << "the folder keeps the entry it could not name";
    EXPECT_EQ(is_dir((deep + "/sub").c_str()), 1);
}
#endif

TEST(Crc32, KnownValues) {
    EXPECT_EQ(crc32_buf("", 0), 0u);
    EXPECT_EQ(crc32_buf("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_buf("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    std::vector<uint8_t> zeros(4096, 0);
    EXPECT_EQ(crc32_buf(zeros.data(), zeros.size()), 0xC71C0011u);
}

// A file is summed chunk by chunk as it is copied: the sum of the pieces is the sum of the whole, in either
// way of summing, for every length and alignment around the 16- and 64-byte blocks the folding takes.
TEST(Crc32, InPiecesEitherWay) {
    auto bytewise = [](const uint8_t *b, size_t n) {
        uint32_t c = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            c ^= b[i];
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        return ~c;
    };
    Bytes data = pattern(70000, 5);
    for (int kind : {CRC32_TABLE, CRC32_CLMUL, CRC32_WIDE}) {
        if (!crc32_use(kind)) continue;  // a processor without carry-less multiplication
        const char *v = "123456789";
        for (size_t cut = 0; cut <= 9; ++cut)
            EXPECT_EQ(crc32_add(crc32_buf(v, cut), v + cut, 9 - cut), 0xCBF43926u) << "kind " << kind << " cut " << cut;
        for (size_t n : {1, 15, 16, 63, 64, 65, 255, 256, 257, 300, 383, 384, 1023, 4096, 65535, 65536, 69990}) {
            for (size_t at : {0, 1, 7, 9}) {
                const uint8_t *b = data.data() + at;
                size_t cut = n * at / 10;
                EXPECT_EQ(crc32_add(crc32_buf(b, cut), b + cut, n - cut), bytewise(b, n))
                    << "kind " << kind << ", " << n << " bytes at " << at;
            }
        }
    }
    crc32_use(-1);
}

TEST(SetupLog, LinesReachTheFileAtOnceAndLongLinesAreCut) {
    TempDir t;
    ASSERT_EQ(setup_log_open(t.host("setup.log").c_str()), 1);
    setup_log("Install to %s", "C:\\Games");
    EXPECT_EQ(contents(t.sub("setup.log")), std::string("Install to C:\\Games") + EOL)
        << "each line is flushed when written";
    std::string longer(1500, 'x');
    longer[1022] = 'y';
    setup_log("%s", longer.c_str());
    std::string expect = std::string("Install to C:\\Games") + EOL + longer.substr(0, 1023) + EOL;
    EXPECT_EQ(contents(t.sub("setup.log")), expect);
    setup_log_close();
}

TEST(SetupLog, MirrorSeesEveryLineWholeAndInOrderFromAnyThreadAndNothingOnceRemoved) {
    LogCapture log;
    setup_log("Install to %s", "C:\\Games");
    setup_log("%s", std::string(1500, 'x').c_str());
    EXPECT_EQ(fail("the disk is full"), 0);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"Install to C:\\Games", std::string(1023, 'x'),
                                                    "ERROR: the disk is full"}));

    // Copy workers log side by side: each line arrives whole, and one thread's lines in its order.
    auto line = [](int k, int i) {
        return "worker " + std::to_string(k) + " line " + std::to_string(i) + " " + std::string(100 * k, char('a' + k));
    };
    std::vector<std::thread> workers;
    for (int k = 0; k < 4; ++k)
        workers.emplace_back([&line, k] {
            for (int i = 0; i < 300; ++i) setup_log("%s", line(k, i).c_str());
        });
    for (std::thread &w : workers) w.join();
    int next[4] = {};
    for (const std::string &l : log.take()) {
        int k = l.size() > 7 ? l[7] - '0' : -1;
        ASSERT_TRUE(k >= 0 && k < 4) << l;
        ASSERT_EQ(l, line(k, next[k]++)) << "a line cut, mixed with another or out of its thread's order";
    }
    EXPECT_EQ(std::vector<int>(next, next + 4), std::vector<int>(4, 300));
    EXPECT_FALSE(log.overlapped()) << "the mirror ran for two lines at once";

    setup_log_mirror(nullptr);
    setup_log("after the window has gone");
    EXPECT_TRUE(log.take().empty());

    // A line logged while the log is opened or closed meets an open file or none, never one half closed.
    TempDir t;
    std::thread racer([] {
        for (int i = 0; i < 500; ++i) setup_log("racing line %d", i);
    });
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(setup_log_open(t.host("race.log").c_str()), 1);
        setup_log_close();
    }
    racer.join();
    ASSERT_EQ(setup_log_open(t.host("race.log").c_str()), 1);
    setup_log("last");
    setup_log_close();
    EXPECT_EQ(contents(t.sub("race.log")), std::string("last") + EOL);
}

// The lines the log hands to a window that opens now.
static std::vector<std::string> replayed() {
    static std::vector<std::string> got;
    got.clear();
    setup_log_replay([](const char *line) { got.push_back(line); });
    return got;
}

TEST(SetupLog, TheStartUpsLinesWaitForTheWindowWholeAndOnce) {
    TempDir t;
    ASSERT_EQ(setup_log_open(t.host("setup.log").c_str()), 1);
    setup_log("setup started");
    setup_log("%s", std::string(1500, 'd').c_str());
    EXPECT_EQ(replayed(), (std::vector<std::string>{"setup started", std::string(1023, 'd')}));
    setup_log("Install to C:\\Games");
    EXPECT_TRUE(replayed().empty()) << "the window would show a line twice, or one its mirror brings";

    // A run without a window keeps its first lines (a dozen long ones at least), never a later one after a gap.
    ASSERT_EQ(setup_log_open(t.host("setup.log").c_str()), 1);
    auto line = [](int i) { return std::to_string(100 + i) + std::string(1000, 'x'); };
    for (int i = 0; i < 40; ++i) setup_log("%s", line(i).c_str());
    setup_log("short");
    std::vector<std::string> kept = replayed();
    ASSERT_GE(kept.size(), 12u);
    ASSERT_LT(kept.size(), 40u);
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], line(static_cast<int>(i)));

    // A log opened afresh starts over, and the close drops what no window took.
    for (const char *run : {"first run", "second run", "third run"}) {
        ASSERT_EQ(setup_log_open(t.host("setup.log").c_str()), 1);
        setup_log("%s", run);
    }
    EXPECT_EQ(replayed(), std::vector<std::string>{"third run"});
    ASSERT_EQ(setup_log_open(t.host("setup.log").c_str()), 1);
    setup_log("no window came");
    setup_log_close();
    EXPECT_TRUE(replayed().empty());
}

TEST(Fmt, CutsInsteadOfOverflowing) {
    char small[8];
    memset(small, 'z', sizeof small);
    fmt(small, sizeof small, "%s\\%s", "abcdef", "ghij");
    EXPECT_STREQ(small, "abcdef\\");
}

TEST(DescribeError, OneLineWithTheNumberAndTheSystemsText) {
    // The system's own words, on one line: FormatMessage ends its texts with a line break.
    for (unsigned long code : {2ul, 3ul, 5ul, 112ul}) {
        std::string c = cause(code);
        std::string head = "error " + std::to_string(code) + ": ";
        ASSERT_EQ(c.compare(0, head.size(), head), 0) << c;
        EXPECT_GT(c.size(), head.size() + 3) << "no system text for " << code;
        EXPECT_EQ(c.find_first_of("\r\n"), std::string::npos) << c;
        EXPECT_NE(c.back(), ' ') << c;
    }
    // A code the system has no text for is still named.
    EXPECT_EQ(cause(0x2FFFFFFEul), "error " + std::to_string(0x2FFFFFFEul));
    char small[12];
    describe_error(112, small, sizeof small);
    EXPECT_EQ(std::string(small), "error 112: ") << "a short buffer cuts, never overflows";
    EXPECT_EQ(write_error(1), 112ul) << "a write the system calls good yet short means the disk is full";
}

#ifndef _WIN32
TEST(CopyFile, FailureInTheMiddleNamesTheFileAndTheCause) {
    // /dev/full accepts the open and fails every write with "no space", as a disk that fills up does.
    if (!path_exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    TempDir t;
    std::string src = t.sub("big.bin");
    put(t.host("big.bin"), std::string(3 << 20, 'x'));
    LogCapture log;
    Tally calls;
    EXPECT_EQ(copy_file(src.c_str(), "/dev/full", &calls.p), 0);
    EXPECT_EQ(log.text(), "write failed: /dev/full (error 112: There is not enough space on the disk.)\n");
    EXPECT_TRUE(calls.done.empty()) << "a failed chunk is not counted";
    EXPECT_EQ(write_file("/dev/full", "abc", 3), 0);
    EXPECT_EQ(log.text(), "write failed: /dev/full (error 112: There is not enough space on the disk.)\n"
                          "write failed: /dev/full (error 112: There is not enough space on the disk.)\n");

    // A source that opens but cannot be read: the start of this process's memory is never mapped.
    EXPECT_EQ(copy_file("/proc/self/mem", t.sub("mem.bin").c_str(), nullptr), 0);
    EXPECT_NE(log.text().find("read failed: /proc/self/mem (error "), std::string::npos) << log.text();
    // A file that claims more bytes than it gives (kernel attribute files say 4096) reads short.
    const char *attr = "/sys/kernel/mm/transparent_hugepage/enabled";
    uint64_t n = 7;
    if (path_exists(attr)) {
        EXPECT_EQ(read_file(attr, &n), nullptr);
        EXPECT_EQ(n, 7u);
        EXPECT_NE(log.text().find(std::string("read failed: ") + attr + " (error 38: Reached the end of the file.)\n"),
                  std::string::npos)
            << log.text();
    }
}
#endif
// The setup's own formatter must print what printf prints, or paths and log lines come out different
// from what the code reads as written. Each case runs through both and is compared, whole and cut.
// Not format-checked on purpose: some cases ('0' with '-', '0' with a precision) draw warnings for
// combinations printf defines anyway.
static ::testing::AssertionResult same_as_printf(const char *format, ...) {
    char want[256], got[256];
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    int wn = vsnprintf(want, sizeof want, format, ap);
    memset(got, 'z', sizeof got);
    int gn = vfmt(got, sizeof got, format, again);
    va_end(again);
    va_end(ap);
    if (gn == wn && strcmp(got, want) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << format << "\" gives \"" << got << "\" (" << gn
                                         << "), printf gives \"" << want << "\" (" << wn << ")";
}
#define SAME_AS_PRINTF(...) EXPECT_TRUE(same_as_printf(__VA_ARGS__))

TEST(Fmt, IntegersPrintAsPrintfPrintsThem) {
    SAME_AS_PRINTF("%d %d %d %i", 0, -1, 12345, -2147483647 - 1);
    SAME_AS_PRINTF("%u %u %lu", 0u, 4294967295u, 4294967295ul);
    SAME_AS_PRINTF("%llu %lld %lld", 18446744073709551615ull, -9223372036854775807ll - 1, 42ll);
    SAME_AS_PRINTF("%zu %zu", static_cast<size_t>(0), static_cast<size_t>(-1));
    SAME_AS_PRINTF("%x %X %02X %02X %08x %llX", 0xbeefu, 0xbeefu, 5u, 0xABu, 0x1fu, 0xFFFFFFFFFFFFFFFFull);
    SAME_AS_PRINTF("%hd %hu %hhu %hhd", 70000, 70000, 300, 200);
}

TEST(Fmt, WidthFlagsAndPrecisionAsPrintf) {
    SAME_AS_PRINTF("[%5d] [%-5d] [%05d] [%-05d] [%5d]", 42, 42, -42, 42, 1234567);
    SAME_AS_PRINTF("[%3u] [%-3u] [%03u] [%1u]", 7u, 7u, 7u, 700u);
    SAME_AS_PRINTF("[%.3d] [%.0d] [%.0u] [%5.3d] [%05.3d] [%-6.2x]", 5, 0, 0u, -5, 5, 0xau);
    SAME_AS_PRINTF("[%*d] [%*d] [%-*s]", 4, 9, -4, 9, 6, "ab");
    SAME_AS_PRINTF("[%8s] [%-8s] [%2s] [%s]", "abc", "abc", "abcdef", "");
    SAME_AS_PRINTF("[%.2s] [%.*s] [%.*s] [%.*s] [%5.1s]", "abc", 3, "abcdef", 0, "abc", 9, "ab", "xyz");
    SAME_AS_PRINTF("[%c%c] [%3c] [%-3c] 100%%", 'o', 'k', 'x', 'y');
}

TEST(Fmt, EveryCutKeepsThePrefixAndTheNeededLength) {
    const char *words[] = {"C:\\Games\\Tovek Zarnith PC", "", "\\x%02X"};
    for (const char *w : words) {
        char whole[64];
        int need = snprintf(whole, sizeof whole, "%s|%d|%02X|%-4s|", w, -7, 0x3Cu, "ab");
        for (size_t cap = 0; cap <= static_cast<size_t>(need) + 2; ++cap) {
            char got[64];
            memset(got, 'z', sizeof got);
            int n = fmt(got, cap, "%s|%d|%02X|%-4s|", w, -7, 0x3Cu, "ab");
            EXPECT_EQ(n, need) << "the length needed must not depend on the room given (cap " << cap << ")";
            if (cap == 0) {
                EXPECT_EQ(got[0], 'z') << "no room means nothing is written";
                continue;
            }
            size_t kept = cap - 1 < static_cast<size_t>(need) ? cap - 1 : static_cast<size_t>(need);
            EXPECT_EQ(std::string(got), std::string(whole, kept)) << "cap " << cap;
            EXPECT_EQ(got[cap], 'z') << "a byte past the room was written (cap " << cap << ")";
        }
    }
}

// A conversion the formatter does not know must show up in the text instead of being dropped silently.
static int fmt_unchecked(char *dst, size_t cap, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vfmt(dst, cap, format, ap);
    va_end(ap);
    return n;
}

TEST(Fmt, UnknownConversionsAreCopiedAsWritten) {
    char got[32];
    EXPECT_EQ(fmt_unchecked(got, sizeof got, "a%qb%05yc%"), 10);
    EXPECT_STREQ(got, "a%qb%05yc%");
}

TEST(Utf8Valid, AcceptsEveryPlaneAndRefusesWhatWouldBecomeAReplacementCharacter) {
    const char *good[] = {"", "GAME.DAT", ("\xc5\x81\xc3\xb3" "d\xc5\xba"),  // Łódź
                          "\xd0\x98\xd0\xb3\xd1\x80\xd1\x8b",            // Игры
                          "\xe6\xb8\xb8\xe6\x88\x8f",                      // 游戏
                          "\xf0\x9f\x8e\xae", "\xf4\x8f\xbf\xbf", "\xef\xbf\xbd"};
    for (const char *g : good) EXPECT_EQ(utf8_valid(g, strlen(g)), 1) << "refused a valid name: " << g;
    const char *bad[] = {
        "\xb9",              // a Western code page byte (superscript one)
        ("L\xf3" "dz"),         // "Lódz" in code page 1252
        "\xc3",              // cut before its continuation byte
        "\xc3(",             // continuation byte missing
        "\x80",              // stray continuation byte
        "\xc0\xaf",          // overlong '/'
        "\xe0\x80\xae",      // overlong '.'
        "\xf0\x80\x80\xaf",  // overlong '/' in four bytes
        "\xed\xa0\x80",      // a UTF-16 surrogate
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "\xf8\x88\x80\x80\x80", "\xff",
    };
    for (const char *b : bad) EXPECT_EQ(utf8_valid(b, strlen(b)), 0) << "accepted invalid bytes";
    // The length bounds the check: a valid prefix of a cut sequence is judged on its own bytes.
    EXPECT_EQ(utf8_valid("A\xc5\x81", 2), 0);
    EXPECT_EQ(utf8_valid("A\xc5\x81", 3), 1);
}

// ---------------------------------------------------------------------------------------------------
// Copies on several workers

// What a run of test jobs saw: which jobs ran.
struct JobRun {
    std::atomic<int> runs[600];
    std::atomic<int> failed{0};
    int fail_at = -1;        // this job fails...
    int hold_below = 0;      // ...while the jobs before it wait until it has
    JobRun() {
        for (auto &r : runs) r = 0;
    }
};

static int test_job(void *ctx, const CopyJob *job, Progress *p, uint8_t *buffer) {
    JobRun *r = static_cast<JobRun *>(ctx);
    int i = static_cast<int>(job->at);
    r->runs[i]++;
    memset(buffer, i & 0xFF, 64);  // each worker's buffer is its own (ASan/TSan see any overlap)
    if (i == r->fail_at) {
        setup_log("cannot read %s", job->from);
        r->failed = 1;
        return 0;
    }
    if (i < r->hold_below) {
        // In flight when the failure comes: waits for it, then finishes after the run has stopped.
        for (int n = 0; n < 2000 && !r->failed; ++n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (uint64_t left = job->size; left;) {
        uint64_t chunk = left < 1000 ? left : 1000;
        if (p) progress_add(p, chunk);
        left -= chunk;
    }
    setup_log("copied %s to %s", job->from, job->to);
    return 1;
}

TEST(CopyJobs, EveryJobRunsOnceAndProgressIsToldOnTheCallingThread) {
    LogCapture log;
    CopyJobs *jobs = jobs_new();
    ASSERT_NE(jobs, nullptr);
    uint64_t total = 0;
    size_t chunks = 0;
    for (int i = 0; i < 500; ++i) {
        chunks += (i * 37 + 999) / 1000;
        std::string from = "C:\\CD\\" + std::string(i % 7 * 40, 'D') + "\\FILE" + std::to_string(i);
        ASSERT_EQ(jobs_add(jobs, from.c_str(), ("C:\\Games\\FILE" + std::to_string(i)).c_str(), i, i * 37), 1);
        total += i * 37;
    }
    ASSERT_EQ(jobs_count(jobs), 500u);
    for (int workers : {1, 2, 4}) {
        SCOPED_TRACE(workers);
        JobRun r;
        Tally t(0, total);
        EXPECT_EQ(jobs_run(jobs, workers, 4096, test_job, &r, &t.p), 1);
        for (int i = 0; i < 500; ++i) ASSERT_EQ(r.runs[i].load(), 1) << "job " << i;
        EXPECT_EQ(t.p.done, total) << "the bar must end where a run on one worker ends";
        for (size_t k = 1; k < t.done.size(); ++k) ASSERT_LT(t.done[k - 1], t.done[k]) << "progress went backwards";
        EXPECT_EQ(t.elsewhere, 0) << "progress told on a worker";
        if (workers == 1) {
            EXPECT_EQ(t.done.size(), chunks) << "one worker tells every chunk";
        }
        // Lines written by several workers at once arrive whole, one after another.
        std::vector<std::string> lines = log.take();
        for (const std::string &line : lines) {
            ASSERT_EQ(line.rfind("copied C:\\CD\\", 0), 0u) << line;
            ASSERT_NE(line.find(" to C:\\Games\\FILE"), std::string::npos) << line;
        }
        EXPECT_EQ(lines.size(), 500u);
    }
    jobs_free(jobs);
    jobs_free(nullptr);
}

TEST(CopyJobs, FirstFailureStartsNoNewJobAndLetsTheOthersFinish) {
    LogCapture log;
    CopyJobs *jobs = jobs_new();
    ASSERT_NE(jobs, nullptr);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(jobs_add(jobs, ("F" + std::to_string(i)).c_str(), ("T" + std::to_string(i)).c_str(), i, 1500), 1);
    for (int workers : {2, 4}) {
        SCOPED_TRACE(workers);
        JobRun r;
        r.fail_at = workers - 1;
        r.hold_below = workers - 1;
        Tally t;
        EXPECT_EQ(jobs_run(jobs, workers, 4096, test_job, &r, &t.p), 0);
        for (int i = 0; i < workers; ++i) EXPECT_EQ(r.runs[i].load(), 1) << "job " << i;
        for (int i = workers; i < 100; ++i) ASSERT_EQ(r.runs[i].load(), 0) << "job " << i << " started after the failure";
        EXPECT_EQ(t.p.done, 1500u * (workers - 1)) << "the jobs in flight finish and are counted";
    }
    std::string text = log.text();
    EXPECT_NE(text.find("cannot read F1\n"), std::string::npos);
    EXPECT_NE(text.find("cannot read F3\n"), std::string::npos);

    // No jobs: nothing to do; one worker: a failure ends the run at once.
    CopyJobs *none = jobs_new();
    EXPECT_EQ(jobs_run(none, 4, 4096, test_job, nullptr, nullptr), 1);
    jobs_free(none);
    JobRun r;
    r.fail_at = 5;
    EXPECT_EQ(jobs_run(jobs, 1, 4096, test_job, &r, nullptr), 0);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(r.runs[i].load(), i <= 5 ? 1 : 0) << "job " << i;
    jobs_free(jobs);
}
