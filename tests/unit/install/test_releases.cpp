// The known releases: the reader of the built-in list, what a CD is decided to be against it, and the
// CD's own DAT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cdsrc/cdsrc.h"
#include "install/install.h"
#include "testutil.h"

namespace {

struct Rom {
    std::string path;
    uint64_t size;
    uint32_t crc;
};
struct Release {
    std::string name;
    std::vector<Rom> roms;
};

// A list as res/make_dat.py writes it.
Bytes pack(const std::vector<Release> &releases) {
    std::string text;
    size_t files = 0;
    for (const Release &r : releases) files += r.roms.size();
    Bytes b;
    put_le(b, 0, 0x4C44435A, 4);  // "ZCDL"
    put_le(b, 4, 1, 4);
    put_le(b, 8, releases.size(), 4);
    put_le(b, 12, files, 4);
    size_t at = 20, file_at = 20 + 12 * releases.size(), first = 0;
    for (const Release &r : releases) {
        put_le(b, at, text.size(), 4);
        put_le(b, at + 4, first, 4);
        put_le(b, at + 8, r.roms.size(), 4);
        text += r.name + '\0';
        at += 12;
        for (const Rom &f : r.roms) {
            put_le(b, file_at, text.size(), 4);
            put_le(b, file_at + 4, f.crc, 4);
            put_le(b, file_at + 8, f.size, 8);
            text += f.path + '\0';
            file_at += 16;
        }
        first += r.roms.size();
    }
    put_le(b, 16, text.size(), 4);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

// Its last file lies deeper than the copy goes (max_parts 4 below): never looked for.
const Release REV_A = {"Game (Rev A)", {{"GAME.EXE", 100, 1}, {"DATA\\X.DAT", 200, 2}, {"DATA\\Y.DAT", 300, 3},
                                        {"DATA\\Z.DAT", 50, 4}, {"INTRO.DAT", 60, 5}, {"A\\B\\C\\D\\E.DAT", 1, 8}}};
// A reissue: another executable and one file more.
const Release REV_B = {"Game (Rev B)", {{"GAME.EXE", 120, 6}, {"DATA\\X.DAT", 200, 2}, {"DATA\\Y.DAT", 300, 3},
                                        {"DATA\\Z.DAT", 50, 4}, {"INTRO.DAT", 60, 5}, {"DATA\\W.DAT", 10, 7}}};

// A CD holding the release's files, whole.
std::vector<CdFile> cd_of(const Release &r) {
    std::vector<CdFile> cd;
    for (const Rom &f : r.roms)
        if (f.path.find("\\D\\") == std::string::npos) cd.push_back(CdFile{f.path.c_str(), f.size, f.crc, 1});
    return cd;
}

}  // namespace

TEST(Releases, WhatTheCdIs) {
    Bytes bytes = pack({REV_A, REV_B});
    ReleaseList list;
    ASSERT_EQ(releases_read(bytes.data(), bytes.size(), &list), 1);
    auto without = [](std::vector<CdFile> cd, const char *path) {
        for (size_t i = 0; i < cd.size(); ++i)
            if (!strcmp(cd[i].rel, path)) cd.erase(cd.begin() + static_cast<long>(i));
        return cd;
    };
    auto changed = [](std::vector<CdFile> cd, size_t i, uint32_t crc, int summed) {
        cd[i].crc = crc;
        cd[i].summed = summed;
        return cd;
    };
    std::vector<CdFile> more = cd_of(REV_A), lower = cd_of(REV_A);
    more.push_back(CdFile{"README.TXT", 5, 9, 1});
    lower[1].rel = "data/x.dat";
    std::vector<CdFile> crowded = more;
    for (int i = 0; i < 5; ++i) crowded.push_back(CdFile{"EXTRA.DAT", 1, 0, 1});
    std::vector<CdFile> other = cd_of(REV_A);
    for (size_t i = 0; i < other.size(); ++i) other[i].crc += 100;
    struct Case {
        const char *what;
        std::vector<CdFile> cd;
        int sizes_only, kind;
        uint32_t release;
        size_t differ, missing;
    } cases[] = {
        {"Rev A whole", cd_of(REV_A), 0, CD_EXACT, 0, 0, 0},
        {"Rev B whole, a reissue with one file more", cd_of(REV_B), 0, CD_EXACT, 1, 0, 0},
        {"Rev A, a file of its own on the CD too", more, 0, CD_EXACT, 0, 0, 0},
        {"Rev A, other letter case and '/'", lower, 0, CD_EXACT, 0, 0, 0},
        {"Rev A with a bad byte in X", changed(cd_of(REV_A), 1, 99, 1), 0, CD_DAMAGED, 0, 1, 0},
        {"Rev A with X unreadable", changed(cd_of(REV_A), 1, 2, 0), 0, CD_DAMAGED, 0, 1, 0},
        {"Rev A without Y", without(cd_of(REV_A), "DATA\\Y.DAT"), 0, CD_DAMAGED, 0, 0, 1},
        {"Rev B without W", without(cd_of(REV_B), "DATA\\W.DAT"), 0, CD_DAMAGED, 1, 0, 1},
        {"Rev A without three of five", without(without(without(cd_of(REV_A), "DATA\\Y.DAT"), "DATA\\X.DAT"),
                                                "INTRO.DAT"), 0, CD_DAMAGED, 0, 0, 3},
        {"every file with other bytes", other, 0, CD_UNKNOWN, 0, 0, 0},
        {"Rev A among more files of another release", crowded, 0, CD_UNKNOWN, 0, 0, 0},
        {"Rev A with a bad byte, by sizes alone", changed(cd_of(REV_A), 1, 99, 1), 1, CD_EXACT, 0, 0, 0},
    };
    for (const Case &c : cases) {
        Verdict v;
        ASSERT_EQ(cd_decide(&list, c.cd.data(), c.cd.size(), 4, c.sizes_only, &v), 1);
        EXPECT_EQ(v.kind, c.kind) << c.what;
        if (c.kind != CD_UNKNOWN) {
            EXPECT_EQ(v.release, c.release) << c.what;
            EXPECT_EQ(v.differ, c.differ) << c.what;
            EXPECT_EQ(v.missing, c.missing) << c.what;
        }
        verdict_free(&v);
    }

    // Every file named: the one that differs by its place on the CD, the missing ones by the release's.
    std::vector<CdFile> cd = changed(without(cd_of(REV_A), "DATA\\Z.DAT"), 1, 99, 1);
    Verdict v;
    ASSERT_EQ(cd_decide(&list, cd.data(), cd.size(), 4, 0, &v), 1);
    ASSERT_EQ(v.kind, CD_DAMAGED);
    EXPECT_EQ(std::string(release_name(&list, v.release)), "Game (Rev A)");
    EXPECT_EQ(std::vector<uint8_t>(v.state, v.state + cd.size()),
              std::vector<uint8_t>({FILE_MATCHES, FILE_DIFFERS, FILE_MATCHES, FILE_MATCHES}));
    ASSERT_EQ(v.missing, 1u);
    EXPECT_STREQ(release_file(&list, v.release, v.missing_files[0]).path, "DATA\\Z.DAT");
    verdict_free(&v);

    // No list, nothing to tell.
    ASSERT_EQ(cd_decide(nullptr, cd.data(), cd.size(), 4, 0, &v), 1);
    EXPECT_EQ(v.kind, CD_NO_LIST);
}

TEST(Releases, TheReaderRefusesAListOutOfBounds) {
    Bytes good = pack({REV_A, REV_B});
    ReleaseList list;
    ASSERT_EQ(releases_read(good.data(), good.size(), &list), 1);
    ASSERT_EQ(release_file_count(&list, 1), 6u);
    ReleaseFile f = release_file(&list, 1, 5);
    EXPECT_EQ(std::string(f.path), "DATA\\W.DAT");
    EXPECT_EQ(f.size, 10u);
    EXPECT_EQ(f.crc, 7u);
    struct Change {
        const char *what;
        size_t at;
        uint64_t value;
        int bytes;
    } changes[] = {
        {"another magic", 0, 'X', 1},
        {"another version", 4, 2, 4},
        {"one file more than there are", 12, 13, 4},
        {"names longer than the list", 16, 200, 4},
        {"a release's files not after the one before", 20 + 12 + 4, 4, 4},
        {"a name beyond the names", 20 + 24, 100000, 4},
        {"a name without its end", good.size() - 1, 'x', 1},
        {"a size beyond a disc", 20 + 24 + 12, 0x10000, 4},
    };
    for (const Change &c : changes) {
        Bytes bad = good;
        put_le(bad, c.at, c.value, c.bytes);
        EXPECT_EQ(releases_read(bad.data(), bad.size(), &list), 0) << c.what;
    }
    for (const char *path : {"DATA\\..\\X.DAT", "DATA\\\\X.DAT", "\\X.DAT", "X.DAT\\", "A:B", "LINE\nFEED", "BAD\xff"}) {
        Bytes bad = pack({{"R", {{path, 1, 1}}}});
        EXPECT_EQ(releases_read(bad.data(), bad.size(), &list), 0) << path;
    }
    EXPECT_EQ(releases_read(good.data(), good.size() - 1, &list), 0) << "cut short";
}

TEST(Releases, TheCdsOwnDatEscapesItsNames) {
    CdFile files[] = {{"A&B\\<C>.DAT", 12, 0xCBF43926, 1}, {"QUOTE\"'.DAT", 0, 0, 1}, {"UNREAD.DAT", 5, 0, 0}};
    size_t len = 0;
    char *dat = cd_dat_text(files, 3, "Game \"<new>\" & more", &len);
    ASSERT_NE(dat, nullptr);
    std::string text(dat, len);
    free(dat);
    EXPECT_NE(text.find("<game name=\"Game &quot;&lt;new&gt;&quot; &amp; more\">"), std::string::npos) << text;
    EXPECT_NE(text.find("<rom name=\"A&amp;B\\&lt;C&gt;.DAT\" size=\"12\" crc=\"cbf43926\"/>"), std::string::npos);
    EXPECT_NE(text.find("<rom name=\"QUOTE&quot;&apos;.DAT\" size=\"0\" crc=\"00000000\"/>"), std::string::npos);
    EXPECT_EQ(text.find("UNREAD"), std::string::npos) << "a file that was not read has no CRC to list";
}
