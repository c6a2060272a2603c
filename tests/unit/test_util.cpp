// File helpers, progress accounting, CRC-32 and the setup log: natively and under Wine.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "setup.h"
#include "testutil.h"
#include "util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
static const char *const EOL = "\r\n";
#else
static const char *const EOL = "\n";
#endif

// Captures the setup log of one test in a file of its scratch folder.
class LogCapture {
public:
    explicit LogCapture(const TempDir &t) : path_(t.host("setup.log")) { setup_log_open(path_.c_str()); }
    ~LogCapture() { setup_log_close(); }
    std::string text() const { return slurp(path_); }

private:
    std::string path_;
};

struct Calls {
    std::vector<uint64_t> done;
    uint64_t total = 0;
};
static void record(uint64_t done, uint64_t total, void *user) {
    Calls *c = static_cast<Calls *>(user);
    c->done.push_back(done);
    c->total = total;
}

TEST(MakeDirs, CreatesEveryLevelWithEitherSeparatorAndRefusesAFile) {
    TempDir t;
    EXPECT_EQ(make_dirs(t.sub("A\\B\\C").c_str()), 1);
    EXPECT_EQ(is_dir(t.sub("A\\B\\C").c_str()), 1);
    EXPECT_EQ(make_dirs((t.path() + "/D/E").c_str()), 1) << "forward slashes must split levels too";
    EXPECT_EQ(is_dir(t.sub("D\\E").c_str()), 1);
    EXPECT_EQ(make_dirs(t.sub("A\\B").c_str()), 1) << "an existing folder counts as success";

    spill(t.host("F"), "x");
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
    spill(t.host("big.bin"), data);

    Calls calls;
    Progress p = {100, 5000000, record, &calls};
    ASSERT_EQ(copy_file(t.sub("big.bin").c_str(), t.sub("new\\dir\\big.bin").c_str(), &p), 1);
    EXPECT_EQ(slurp(t.host("new/dir/big.bin")), data);
    ASSERT_EQ(calls.done.size(), 3u) << "a 2.5 MiB copy is three chunks";
    EXPECT_EQ(calls.done[0], 100u + 1048576u);
    EXPECT_EQ(calls.done[1], 100u + 2097152u);
    EXPECT_EQ(calls.done[2], 100u + 2621440u);
    EXPECT_EQ(calls.total, 5000000u);
    EXPECT_EQ(p.done, 100u + data.size());
}

TEST(CopyFile, EmptyAndMissingSources) {
    TempDir t;
    LogCapture log(t);
    spill(t.host("empty"), "");
    Calls calls;
    Progress p = {0, 10, record, &calls};
    ASSERT_EQ(copy_file(t.sub("empty").c_str(), t.sub("out\\empty").c_str(), &p), 1);
    EXPECT_EQ(path_exists(t.sub("out\\empty").c_str()), 1);
    EXPECT_EQ(slurp(t.host("out/empty")), "");
    EXPECT_TRUE(calls.done.empty()) << "an empty file reports no chunk";

    std::string missing = t.sub("no-such-file");
    EXPECT_EQ(copy_file(missing.c_str(), t.sub("made\\copy").c_str(), &p), 0);
    EXPECT_EQ(is_dir(t.sub("made").c_str()), 1) << "the destination folder is made before the source opens";
    EXPECT_EQ(path_exists(t.sub("made\\copy").c_str()), 0);
    EXPECT_EQ(log.text(), "cannot read " + missing + EOL);
}

TEST(CopyFile, DestinationThatCannotBeCreated) {
    TempDir t;
    LogCapture log(t);
    spill(t.host("src"), "abc");
    make_dirs(t.sub("blocker").c_str());
    EXPECT_EQ(copy_file(t.sub("src").c_str(), t.sub("blocker").c_str(), nullptr), 0);
    EXPECT_EQ(log.text(), "cannot write " + t.sub("blocker") + EOL);
}

TEST(WriteFile, WritesReplacesAndReportsDeniedWithErrorFive) {
    TempDir t;
    LogCapture log(t);
    ASSERT_EQ(write_file(t.sub("a\\b\\f.bin").c_str(), "hello", 5), 1);
    EXPECT_EQ(slurp(t.host("a/b/f.bin")), "hello");
    ASSERT_EQ(write_file(t.sub("a\\b\\f.bin").c_str(), "hi", 2), 1);
    EXPECT_EQ(slurp(t.host("a/b/f.bin")), "hi") << "an existing file is replaced, not overwritten in part";
    ASSERT_EQ(write_file(t.sub("zero").c_str(), "", 0), 1);
    EXPECT_EQ(path_exists(t.sub("zero").c_str()), 1);
    EXPECT_EQ(log.text(), "");

    // A folder standing at the path: access denied on Windows, Wine and here alike.
    make_dirs(t.sub("dir").c_str());
    EXPECT_EQ(write_file(t.sub("dir").c_str(), "x", 1), 0);
    EXPECT_EQ(log.text(), "cannot write " + t.sub("dir") + " (error 5)" + EOL);
}

#ifndef _WIN32
TEST(WriteFile, ImmutableFileIsDenied) {
    TempDir t;
    spill(t.host("locked"), "keep");
    std::string cmd = "chattr +i '" + t.host("locked") + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "this file system cannot make a file immutable";
    LogCapture log(t);
    int ok = write_file(t.sub("locked").c_str(), "x", 1);
    std::system(("chattr -i '" + t.host("locked") + "'").c_str());
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(log.text(), "cannot write " + t.sub("locked") + " (error 5)" + EOL);
    EXPECT_EQ(slurp(t.host("locked")), "keep");
}
#endif

TEST(ReadFile, WholeFileEmptyFileAndMissingFile) {
    TempDir t;
    spill(t.host("text"), "CUE\x01");
    uint64_t n = 99;
    uint8_t *b = read_file(t.sub("text").c_str(), &n);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(memcmp(b, "CUE\x01", 4), 0);
    b[n] = 0;  // the spare byte for a terminating zero is there (ASan checks)
    free(b);

    spill(t.host("empty"), "");
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
    spill(t.host("tree/a.txt"), "a");
    spill(t.host("tree/sub/deeper/b.txt"), "b");
    spill(t.host("tree/sub/ro.txt"), "r");
#ifdef _WIN32
    SetFileAttributesA(t.sub("tree\\sub\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
#else
    chmod(t.host("tree/sub/ro.txt").c_str(), 0444);
#endif
    // A link inside the tree that leads to a folder outside it: its target must survive.
    make_dirs(t.sub("outside").c_str());
    spill(t.host("outside/precious.txt"), "keep me");
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
    EXPECT_EQ(slurp(t.host("outside/precious.txt")), "keep me")
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

TEST(SetupLog, LinesReachTheFileAtOnceAndLongLinesAreCut) {
    TempDir t;
    LogCapture log(t);
    setup_log("Install to %s", "C:\\Games");
    EXPECT_EQ(log.text(), std::string("Install to C:\\Games") + EOL) << "each line is flushed when written";
    std::string longer(1500, 'x');
    longer[1022] = 'y';
    setup_log("%s", longer.c_str());
    std::string expect = std::string("Install to C:\\Games") + EOL + longer.substr(0, 1023) + EOL;
    EXPECT_EQ(log.text(), expect);
}

TEST(Fmt, CutsInsteadOfOverflowing) {
    char small[8];
    memset(small, 'z', sizeof small);
    fmt(small, sizeof small, "%s\\%s", "abcdef", "ghij");
    EXPECT_STREQ(small, "abcdef\\");
}

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
