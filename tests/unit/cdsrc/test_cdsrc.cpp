// The CD source: opening (path forms, CUE sheets, sector layouts), folder sources, and the ISO 9660
// reader on the sample CD and on images built byte by byte here, hostile ones included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cdsrc/cdsrc.h"
#include "iso_builder.h"
#include "platform/platform.h"
#include "testutil.h"
#include "util/util.h"

namespace {

// ---------------------------------------------------------------------------------------------------
// Folders as the module's own file layer lists them ('\' works natively too)

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    PfList *l = pf_list_open(folder.c_str());
    PfEntry e;
    while (l && pf_list_next(l, &e)) names.push_back(e.name);
    pf_list_close(l);
    std::sort(names.begin(), names.end());
    return names;
}

// relative path -> content, "<dir>" for folders.
void collect(const std::string &root, const std::string &rel, std::map<std::string, std::string> *out) {
    std::string here = rel.empty() ? root : root + "\\" + rel;
    PfList *l = pf_list_open(here.c_str());
    PfEntry e;
    while (l && pf_list_next(l, &e)) {
        std::string r = rel.empty() ? e.name : rel + "\\" + e.name;
        if (e.directory) {
            (*out)[r] = "<dir>";
            collect(root, r, out);
        } else {
            (*out)[r] = contents(root + "\\" + r);
        }
    }
    pf_list_close(l);
}

std::map<std::string, std::string> tree(const std::string &root) {
    std::map<std::string, std::string> t;
    collect(root, "", &t);
    return t;
}

int count_folders(const std::string &root) {
    int n = 0;
    for (auto &kv : tree(root)) n += kv.second == "<dir>";
    return n;
}

bool same_name(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return toupper(static_cast<unsigned char>(x)) == toupper(static_cast<unsigned char>(y));
           });
}

// ---------------------------------------------------------------------------------------------------

class CdSrcTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string tmp = dir.path();
    LogCapture captured;

    std::string log() const { return captured.text(); }
    CdSrc *open_mem(const Iso &iso) { return cd_open_mem(iso.img.data(), iso.img.size()); }
};

// ---------------------------------------------------------------------------------------------------
// Opening

TEST_F(CdSrcTest, OpenNormalisesFolderPaths) {
    std::string game = tmp + "\\game";
    ASSERT_TRUE(make_dirs(game.c_str()));
    CdSrc *s = cd_open((game + "\\\\/\\").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->is_image, 0);
    EXPECT_EQ(s->handle, PF_INVALID);
    EXPECT_EQ(std::string(s->path), game);
    EXPECT_EQ(std::string(cd_describe(s)), "folder " + game);
    EXPECT_EQ(s->sector_size, 0u);
    cd_close(s);

    // Short relative paths: the length never comes down below 3.
    {
    InFolder in_tmp(tmp);
    ASSERT_TRUE(make_dirs("ab"));
    s = cd_open("ab\\\\");  // four characters: loses one separator only
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s->path), "ab\\");
    cd_close(s);
    s = cd_open("ab/");  // three characters: left alone
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(cd_describe(s)), "folder ab/");
    cd_close(s);
    // A folder named like a CUE sheet or an image is a folder source.
    ASSERT_TRUE(make_dirs("x.cue"));
    ASSERT_TRUE(make_dirs("y.ISO"));
    s = cd_open("x.cue\\");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(cd_describe(s)), "folder x.cue");
    cd_close(s);
    s = cd_open("y.ISO");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->is_image, 0);
    cd_close(s);
    EXPECT_EQ(cd_open("missing"), nullptr);
    }
    cd_close(nullptr);

#ifdef _WIN32
    // A bare drive letter opens the drive's root, which keeps its backslash.
    s = cd_open("C:");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(cd_describe(s)), "folder C:\\");
    cd_close(s);
    s = cd_open("C:\\");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s->path), "C:\\");
    cd_close(s);
#endif
}

TEST_F(CdSrcTest, EveryContainerOpensAndEveryRefusalSaysWhy) {
    Iso iso = iso_of({{"A.DAT", pattern(5000, 1)}});
    auto opens = [&](const std::string &path, const std::string &data_file, uint32_t size, uint32_t offset) {
        SCOPED_TRACE(path);
        char why[LOG_BUF] = "";
        CdSrc *s = cd_open_why(path.c_str(), why, sizeof why);
        ASSERT_NE(s, nullptr) << why;
        EXPECT_EQ(std::string(cd_describe(s)), "image " + data_file);
        EXPECT_EQ(s->sector_size, size);
        EXPECT_EQ(s->data_offset, offset);
        uint64_t n = 0;
        uint8_t *d = cd_read(s, "A.DAT", &n);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(d), n), str(pattern(5000, 1)));
        free(d);
        cd_close(s);
    };
    // Raw layouts named directly: subchannel after each raw sector, and headerless Mode 2.
    put(tmp + "\\sub1.img", layout(iso.img, 2448, 16));
    put(tmp + "\\sub2.mdf", layout(iso.img, 2448, 24));
    put(tmp + "\\m2.bin", layout(iso.img, 2336, 8));
    opens(tmp + "\\sub1.img", tmp + "\\sub1.img", 2448, 16);
    opens(tmp + "\\sub2.mdf", tmp + "\\sub2.mdf", 2448, 24);
    opens(tmp + "\\m2.bin", tmp + "\\m2.bin", 2336, 8);
    // A data track after 450 audio sectors, through its sheet; the description names the BIN.
    put(tmp + "\\pg.bin", std::string(450 * 2352, 'a') + str(layout(iso.img, 2352, 16)));
    put(tmp + "\\pg.cue", "FILE \"pg.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                        "  TRACK 02 MODE1/2352\r\n    INDEX 01 00:06:00\r\n");
    opens(tmp + "\\pg.cue", tmp + "\\pg.bin", 2352, 16);
    // A sheet moved with its BIN still names the old place: the BIN of that name beside it is read.
    put(tmp + "\\moved.cue", "FILE \"D:\\Images\\Old\\pg.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                           "  TRACK 02 MODE1/2352\r\n    INDEX 01 00:06:00\r\n");
    opens(tmp + "\\moved.cue", tmp + "\\pg.bin", 2352, 16);
    // A sheet under another extension, as digital stores ship them, is read for what it is (a TOC too).
    put(tmp + "\\game.ins", "FILE \"pg.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                          "  TRACK 02 MODE1/2352\r\n    INDEX 01 00:06:00\r\n");
    opens(tmp + "\\game.ins", tmp + "\\pg.bin", 2352, 16);
    put(tmp + "\\cdrdao.txt", "CD_ROM\nTRACK AUDIO\nFILE \"pg.bin\" 0 00:06:00\nTRACK MODE1_RAW\nDATAFILE \"pg.bin\" #1058400\n");
    opens(tmp + "\\cdrdao.txt", tmp + "\\pg.bin", 2352, 16);
    // A sheet that says Mode 1 for a Mode 2 BIN still opens: its data starts at byte 0.
    put(tmp + "\\m2raw.bin", layout(iso.img, 2352, 24));
    put(tmp + "\\wrong.cue", "FILE \"m2raw.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
    opens(tmp + "\\wrong.cue", tmp + "\\m2raw.bin", 2352, 24);
    // CloneCD, Alcohol (the data file named "*.mdf") and Nero (2048-byte track after the pregap).
    put(tmp + "\\clone.img", layout(iso.img, 2352, 16));
    put(tmp + "\\clone.ccd", "[CloneCD]\r\nVersion=3\r\n[TRACK 1]\r\nMODE=1\r\nINDEX 1=0\r\n");
    opens(tmp + "\\clone.ccd", tmp + "\\clone.img", 2352, 16);
    put(tmp + "\\alc.mds", mds({{0xAC, 2448, 0}}));
    put(tmp + "\\alc.mdf", layout(iso.img, 2448, 24));
    opens(tmp + "\\alc.mds", tmp + "\\alc.mdf", 2448, 24);
    Bytes nrg(150 * 2048, 0);
    nrg.insert(nrg.end(), iso.img.begin(), iso.img.end());
    uint32_t at = static_cast<uint32_t>(nrg.size());
    for (const Bytes &c : {nrg_chunk("DAOI", dao(false, {{2048, 0, 150 * 2048}})), nrg_chunk("END!", {})})
        nrg.insert(nrg.end(), c.begin(), c.end());
    nrg.insert(nrg.end(), {'N', 'E', 'R', 'O'});
    put_be(nrg, nrg.size(), at, 4);
    put(tmp + "\\old.nrg", nrg);
    opens(tmp + "\\old.nrg", tmp + "\\old.nrg", 2048, 0);
    // A sheet given with forward slashes finds its own BIN, not the one in the current folder.
    put(tmp + "\\decoy\\cd.bin", layout(Iso().img, 2048, 0));
    put(tmp + "\\sheets\\cd.bin", layout(iso.img, 2352, 16));
    put(tmp + "\\sheets\\game.cue", "FILE cd.bin BINARY\r\n" + std::string("  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"));
    std::string slashed = tmp + "/sheets/game.cue";
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    {
        InFolder in_decoy(dir.host("decoy"));
        opens(slashed, slashed.substr(0, slashed.size() - 8) + "cd.bin", 2352, 16);
    }

    // Every refusal words its cause and names the path.
    put(tmp + "\\empty.iso", "");
    put(tmp + "\\empty.cue", "");
    put(tmp + "\\text.iso", std::string(40000, 't'));
    put(tmp + "\\gone.cue", "FILE \"missing.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
    put(tmp + "\\audio.cue", "FILE \"pg.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n");
    put(tmp + "\\lonely.ccd", "[CloneCD]\r\n[TRACK 1]\r\nMODE=2\r\nINDEX 1=0\r\n");
    const std::string not_image = ": not a CD image (no ISO 9660 volume in any known layout)";
    struct {
        std::string path, why;
    } refusals[] = {
        {"", "no CD was given or found: name a drive, an image or a folder with /cd"},
        {tmp + "\\nowhere\\cd.iso", tmp + "\\nowhere\\cd.iso: no such file or folder"},
        {tmp + "\\empty.iso", tmp + "\\empty.iso: the file is empty"},
        {tmp + "\\empty.cue", tmp + "\\empty.cue: the file is empty"},
        {tmp + "\\text.iso", tmp + "\\text.iso" + not_image},
        {tmp + "\\pg.bin", tmp + "\\pg.bin" + not_image},
        {tmp + "\\gone.cue", tmp + "\\gone.cue: the sheet names a data file that cannot be opened: " + tmp + "\\missing.bin"},
        {tmp + "\\audio.cue", tmp + "\\audio.cue: the sheet has no data track"},
        {tmp + "\\lonely.ccd", tmp + "\\lonely.ccd: the sheet names a data file that cannot be opened: " + tmp + "\\lonely.img"},
    };
    for (auto &r : refusals) {
        char why[LOG_BUF] = "";
        EXPECT_EQ(cd_open_why(r.path.c_str(), why, sizeof why), nullptr) << r.path;
        EXPECT_EQ(std::string(why), r.why);
        EXPECT_EQ(cd_open(r.path.c_str()), nullptr) << r.path;
    }
    // A refused source leaves no file open (Windows keeps an open file from being deleted).
    EXPECT_TRUE(pf_delete((tmp + "\\text.iso").c_str()));
    EXPECT_TRUE(pf_delete((tmp + "\\pg.bin").c_str()));
}

TEST_F(CdSrcTest, ADataTrackBehindAudioIsReadAtItsDiscAddressOrFromItsStart) {
    // The volume mastered at its disc address 300 (its records count from the disc's start), and the
    // same files mastered at 0; either behind 300 sectors (4 seconds) of audio.
    const Bytes data = pattern(5000, 7);
    const Bytes audio(300 * 2352, 0x5a);
    auto opens = [&](const std::string &path, uint32_t lba) {
        SCOPED_TRACE(path);
        char why[LOG_BUF] = "";
        CdSrc *s = cd_open_why(path.c_str(), why, sizeof why);
        ASSERT_NE(s, nullptr) << why;
        EXPECT_EQ(s->disc_lba, lba);
        uint64_t n = 0;
        uint8_t *d = cd_read(s, "A.DAT", &n);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(Bytes(d, d + n), data);
        free(d);
        cd_close(s);
    };
    const std::string one_file = "  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  TRACK 02 MODE1/2352\r\n    INDEX 01 00:04:00\r\n";
    for (uint32_t k : {300u, 0u}) {
        Bytes whole = audio, raw_track = raw(track(iso_of({{"A.DAT", data}}, k)), 1);
        whole.insert(whole.end(), raw_track.begin(), raw_track.end());
        std::string d = tmp + "\\k" + std::to_string(k);
        put(d + "\\one.bin", whole);
        put(d + "\\one.cue", "FILE \"one.bin\" BINARY\r\n" + one_file);
        opens(d + "\\one.cue", k);
        // The audio in a FILE of its own: its length is its size.
        put(d + "\\audio.bin", audio);
        put(d + "\\data.bin", raw_track);
        put(d + "\\two.cue", "FILE \"audio.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                              "FILE \"data.bin\" BINARY\r\n  TRACK 02 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
        opens(d + "\\two.cue", k);
        put(d + "\\one.toc", "CD_ROM\n\nTRACK AUDIO\nFILE \"audio.bin\" 0\n\nTRACK MODE1_RAW\nDATAFILE \"data.bin\"\n");
        opens(d + "\\one.toc", k);
        put(d + "\\game.img", whole);
        put(d + "\\game.ccd", "[CloneCD]\r\n[TRACK 1]\r\nMODE=0\r\nINDEX 1=0\r\n[TRACK 2]\r\nMODE=1\r\nINDEX 1=300\r\n");
        opens(d + "\\game.ccd", k);
        put(d + "\\game.mdf", whole);
        put(d + "\\game.mds", mds({{0xA9, 2352, 0}, {0xAA, 2352, 300 * 2352, 300}}));
        opens(d + "\\game.mds", k);
    }
}

TEST_F(CdSrcTest, OpenFindsTheSectorLayout) {
    Iso iso;
    Loc f = iso.file(pattern(5000, 1));
    Loc root = iso.dir({F("A.DAT", f)});
    iso.root(root);
    put(tmp + "\\cd.iso", iso.img);
    put(tmp + "\\cd1.bin", raw(iso.img, 1));
    put(tmp + "\\cd2.bin", raw(iso.img, 2));
    struct {
        const char *name;
        uint32_t size, offset;
    } layouts[] = {{"cd.iso", 2048, 0}, {"cd1.bin", 2352, 16}, {"cd2.bin", 2352, 24}};
    for (auto &l : layouts) {
        SCOPED_TRACE(l.name);
        std::string path = tmp + "\\" + l.name;
        CdSrc *s = cd_open(path.c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->is_image, 1);
        EXPECT_EQ(s->sector_size, l.size);
        EXPECT_EQ(s->data_offset, l.offset);
        EXPECT_EQ(s->root_extent, root.extent);
        EXPECT_EQ(s->root_size, root.size);
        EXPECT_EQ(std::string(cd_describe(s)), "image " + path);
        uint64_t n = 0;
        uint8_t *d = cd_read(s, "a.dat", &n);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(d), n), str(pattern(5000, 1)));
        free(d);
        cd_close(s);
    }

    // Through CUE sheets: the description names the file in the sheet; the extension test ignores case.
    put(tmp + "\\game.CUE", "REM COMMENT \"sample\"\r\nFILE \"cd2.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n");
    CdSrc *s = cd_open((tmp + "\\game.CUE").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(cd_describe(s)), "image " + tmp + "\\cd2.bin");
    EXPECT_EQ(s->data_offset, 24u);
    cd_close(s);
    put(tmp + "\\lower.cue", "file \"cd1.bin\" BINARY\r\n");
    put(tmp + "\\gone.cue", "FILE \"missing.bin\" BINARY\r\n");
    s = cd_open((tmp + "\\lower.cue").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->data_offset, 16u);
    cd_close(s);
    EXPECT_EQ(cd_open((tmp + "\\gone.cue").c_str()), nullptr);

    // Too short for sector 16, or no primary volume descriptor there.
    Bytes cut(iso.img.begin(), iso.img.begin() + 16 * 2048 + 2047);
    put(tmp + "\\short.iso", cut);
    EXPECT_EQ(cd_open((tmp + "\\short.iso").c_str()), nullptr);
    Bytes other = iso.img;
    other[16 * 2048] = 2;
    put(tmp + "\\other.iso", other);
    EXPECT_EQ(cd_open((tmp + "\\other.iso").c_str()), nullptr);
    EXPECT_EQ(cd_open_mem(cut.data(), cut.size()), nullptr);
    // Refused images were closed again (Windows keeps an open file from being deleted).
    EXPECT_TRUE(pf_delete((tmp + "\\short.iso").c_str()));
    EXPECT_TRUE(pf_delete((tmp + "\\other.iso").c_str()));
    EXPECT_TRUE(pf_delete((tmp + "\\gone.cue").c_str()));
}

// ---------------------------------------------------------------------------------------------------
// Folder sources

TEST_F(CdSrcTest, FolderSourceDepthEmptyFoldersAndAttributes) {
    std::string cd = tmp + "\\cd";
    put(cd + "\\ROOT.DAT", pattern(3000, 2));
    std::string deep = cd;
    uint64_t expected = 3000;
    for (int i = 1; i <= 17; ++i) {
        char name[16];
        snprintf(name, sizeof name, "D%02d", i);
        deep += "\\" + std::string(name);
        put(deep + "\\DEPTH.DAT", pattern(100 + i, i));
        if (i <= 16) expected += 100 + i;
    }
    ASSERT_TRUE(make_dirs((cd + "\\EMPTY\\INNER").c_str()));
    put(cd + "\\RO.DAT", "read only");
    make_read_only(cd + "\\RO.DAT");
    expected += 9;

    CdSrc *s = cd_open(cd.c_str());
    ASSERT_NE(s, nullptr);
#ifndef _WIN32
    unsigned long listed = pf_listings();
#endif
    EXPECT_EQ(cd_total_bytes(s), expected);
    EXPECT_EQ(cd_exists(s, "D01\\DEPTH.DAT"), 1);
    EXPECT_EQ(cd_exists(s, "D01\\NOPE.DAT"), 0);
    uint64_t n = 0;
    uint8_t *d = cd_read(s, "ROOT.DAT", &n);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(n, 3000u);
    free(d);

    Tally t;
    std::string dest = tmp + "\\out\\game\\cd";
    // A read-only file left by an earlier install is overwritten and loses its attribute.
    put(dest + "\\ROOT.DAT", "older");
    make_read_only(dest + "\\ROOT.DAT");
    ASSERT_EQ(cd_copy_all(s, dest.c_str(), &t.p), 1);
    EXPECT_EQ(t.p.done, expected);
    EXPECT_EQ(cd_bytes_of(s, "D01") + cd_bytes_of(s, "ROOT.DAT") + cd_bytes_of(s, "RO.DAT"), expected);
    EXPECT_EQ(cd_longest_path(s), strlen("D01\\D02\\D03\\D04\\D05\\D06\\D07\\D08\\D09\\D10\\D11\\D12\\D13\\D14\\D15\\D16\\DEPTH.DAT"));
#ifndef _WIN32
    // The total, the parts, the longest path and the copy all come from one walk: one listing a folder
    // (the root, D01 to D16, EMPTY and INNER).
    EXPECT_EQ(pf_listings() - listed, 19u);
#endif
    auto got = tree(dest);
    std::string d16 = "D01\\D02\\D03\\D04\\D05\\D06\\D07\\D08\\D09\\D10\\D11\\D12\\D13\\D14\\D15\\D16";
    EXPECT_EQ(got[d16 + "\\DEPTH.DAT"], str(pattern(116, 16)));
    EXPECT_EQ(got.count(d16 + "\\D17"), 0u);
    EXPECT_EQ(got["EMPTY\\INNER"], "<dir>");
    EXPECT_EQ(got["RO.DAT"], "read only");
    for (const char *f : {"\\RO.DAT", "\\ROOT.DAT"}) EXPECT_EQ(pf_attributes((dest + f).c_str()) & 0x7, 0u) << f;
    EXPECT_EQ(got["ROOT.DAT"], str(pattern(3000, 2)));
    cd_close(s);
}

TEST_F(CdSrcTest, VanishedFolderCountsNothingAndCopiesEmpty) {
    std::string cd = tmp + "\\cd";
    put(cd + "\\A.DAT", "abc");
    CdSrc *s = cd_open(cd.c_str());
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(delete_tree(cd.c_str()));
    EXPECT_EQ(cd_total_bytes(s), 0u);
    std::string dest = tmp + "\\dest";
    EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 1);
    EXPECT_TRUE(is_dir(dest.c_str()));
    EXPECT_TRUE(names_in(dest).empty());
    cd_close(s);
}

// ---------------------------------------------------------------------------------------------------
// The reader on the sample CD

TEST_F(CdSrcTest, SampleCdInEveryLayoutCopiesLikeItsTree) {
    const char *source = getenv("ZARNITH_SOURCE");
    if (!source) GTEST_SKIP() << "ZARNITH_SOURCE not set (the sample CD maker is run natively)";
    std::string out = dir.host("sample");
    std::string cmd = "python3 \"" + std::string(source) + "/tests/tools/make_cd.py\" \"" + out +
                      "\" --size small -q --what tree,iso,bin,cue,forms,chd";
    ASSERT_EQ(system(cmd.c_str()), 0);

    CdSrc *folder = cd_open((out + "/tree").c_str());
    ASSERT_NE(folder, nullptr);
    uint64_t expected = cd_total_bytes(folder);
    std::string want = tmp + "\\want";
    ASSERT_EQ(cd_copy_all(folder, want.c_str(), nullptr), 1);
    cd_close(folder);
    auto want_tree = tree(want);
    ASSERT_GT(want_tree.size(), 300u);
    EXPECT_EQ(want_tree.count("D01\\D02\\D03\\D04\\D05\\D06\\D07\\D08\\D09\\D10\\D11\\D12\\D13\\D14\\D15\\D16\\D17"), 0u);

    for (const char *image : {"cd.iso", "cd_mode1.bin", "cd_mode2.bin", "cd_comment.cue", "cd_sub.img", "cd_clone.ccd",
                              "cd_alcsub.mds", "cd_old.nrg", "cd_new.nrg", "cd_pregap.cue", "cd_2336.cue", "cd_bom.cue",
                              "cd_mixed.cue", "cd_mixed.toc", "cd.chd", "cd_mixed.chd", "cd_pregap.chd"}) {
        SCOPED_TRACE(image);
        CdSrc *s = cd_open((out + "\\" + image).c_str());
        ASSERT_NE(s, nullptr);
        for (const char *m : {"3DGAME.EXE", "mcp.exe", "VILLAGE1.EXE", "VELTRIS\\INTRO.DAT", "veltris/intro.dat"})
            EXPECT_EQ(cd_exists(s, m), 1) << m;
        EXPECT_EQ(cd_total_bytes(s), expected);
        Tally t;
        std::string dest = tmp + "\\" + image;
        ASSERT_EQ(cd_copy_all_with(s, dest.c_str(), &t.p, 1), 1);
        EXPECT_EQ(t.p.done, expected);
        for (uint64_t a : t.adds()) EXPECT_LE(a, 65536u);
        EXPECT_TRUE(tree(dest) == want_tree);
        cd_close(s);
    }
}

// ---------------------------------------------------------------------------------------------------
// The reader on hand-made images

TEST_F(CdSrcTest, NameRules) {
    Iso iso;
    Loc one = iso.file(Bytes(1, 'a')), two = iso.file(Bytes(2, 'b')), three = iso.file(Bytes(3, 'c'));
    std::string a70(70, 'A'), b62(62, 'B');
    iso.root(iso.dir({
        record("README.TXT;1", one, false),
        record("SETUP.;1", two, false),
        record("TWO..;1", three, false),
        record(a70, one, false),
        record(b62 + ".CCC", one, false),
        record("X", two, false),
        record("lower.txt;1", three, false),
        record("Same;1", one, false),
        record("SAME;1", two, false),
        record("HIDDEN.DAT;1", three, false, 1),
        record("ASSOC.DAT;1", three, false, 4),
    }));
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    for (const char *yes : {"README.TXT", "SETUP", "TWO.", "X", "LOWER.TXT", "lower.txt", "HIDDEN.DAT", "ASSOC.DAT"})
        EXPECT_EQ(cd_exists(s, yes), 1) << yes;
    for (const char *no : {"README.TXT;1", "SETUP.", "TWO", "TWO..", "\\", ".", ".."}) EXPECT_EQ(cd_exists(s, no), 0) << no;
    EXPECT_EQ(cd_exists(s, std::string(63, 'A').c_str()), 1);
    EXPECT_EQ(cd_exists(s, b62.c_str()), 1);
    // A 64-character component is cut at 63 and its last character becomes a component of its own.
    EXPECT_EQ(cd_exists(s, std::string(64, 'A').c_str()), 0);
    // Names that differ only in case: the first record wins.
    uint64_t n = 0;
    uint8_t *d = cd_read(s, "same", &n);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(n, 1u);
    free(d);
    // The "." and ".." records (identifiers 0 and 1) are never listed: their sizes would show here.
    EXPECT_EQ(cd_total_bytes(s), 1u + 2 + 3 + 1 + 1 + 2 + 3 + 1 + 2 + 3 + 3);

    std::string dest = tmp + "\\dest";
    ASSERT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 1);
    auto got = names_in(dest);
    EXPECT_TRUE(std::find(got.begin(), got.end(), "SETUP") != got.end());
    EXPECT_TRUE(std::find(got.begin(), got.end(), std::string(63, 'A')) != got.end());
#ifndef _WIN32
    // Stored byte for byte: no change of letter case.
    EXPECT_TRUE(std::find(got.begin(), got.end(), "lower.txt") != got.end());
    EXPECT_TRUE(std::find(got.begin(), got.end(), "TWO.") != got.end());
#endif
    cd_close(s);

    // Empty names: an identifier of length 0, or one that begins with ';'. Only a path that begins
    // with a separator finds them; no copy ever uses them.
    for (const char *id : {"", ";1"}) {
        Iso e;
        Loc f = e.file(Bytes(7, 'e'));
        e.root(e.dir({record(id, f, false)}));
        CdSrc *es = open_mem(e);
        ASSERT_NE(es, nullptr);
        EXPECT_EQ(cd_exists(es, "\\"), 1);
        EXPECT_EQ(cd_total_bytes(es), 7u);
        EXPECT_EQ(cd_copy_all(es, (tmp + "\\empty").c_str(), nullptr), 0);
        cd_close(es);
    }
    EXPECT_NE(log().find("unsafe name on the CD: \"\""), std::string::npos);
}

TEST_F(CdSrcTest, DirectoryRecordsAcrossSectors) {
    Iso iso;
    // Over 64 entries across several sectors, each sector ending with a zero length byte.
    std::vector<Bytes> many;
    uint64_t sum = 0;
    std::vector<Loc> files;
    for (int i = 0; i < 150; ++i) {
        files.push_back(iso.file(pattern(10 + i, i)));
        sum += 10 + i;
    }
    for (int i = 0; i < 150; ++i) {
        char name[32];
        snprintf(name, sizeof name, "FILE%03d.DAT", i);
        many.push_back(F(name, files[i]));
    }
    Loc big = iso.dir(many);
    ASSERT_GT(big.size, 2048u * 2);

    // Records that lie beyond the data length are not taken, even inside its last sector.
    Loc tail_file = iso.file(Bytes(5, 't'));
    Loc cut = iso.dir({F("KEPT.DAT", tail_file), F("GONE.DAT", tail_file)});
    uint8_t *sec = iso.sector(cut.extent);
    uint32_t second = 34 + 34 + sec[68];  // ".", "..", KEPT.DAT
    cut.size = second;

    iso.root(iso.dir({D("MANY", big), D("CUT", cut)}));
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_exists(s, "MANY\\FILE000.DAT"), 1);
    EXPECT_EQ(cd_exists(s, "MANY\\FILE149.DAT"), 1);
    EXPECT_EQ(cd_exists(s, "CUT\\KEPT.DAT"), 1);
    EXPECT_EQ(cd_exists(s, "CUT\\GONE.DAT"), 0);
    EXPECT_EQ(cd_total_bytes(s), sum + 5);
    std::string dest = tmp + "\\dest";
    ASSERT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 1);
    auto got = names_in(dest + "\\MANY");
    ASSERT_EQ(got.size(), 150u);
    EXPECT_EQ(contents(dest + "\\MANY\\FILE149.DAT"), str(pattern(159, 149)));
    EXPECT_EQ(names_in(dest + "\\CUT"), std::vector<std::string>{"KEPT.DAT"});
    cd_close(s);
}

TEST_F(CdSrcTest, LookupsAndReads) {
    Iso iso;
    Bytes content = pattern(4100, 9);
    Loc f = iso.file(content);
    Loc sub = iso.dir({F("FILE.DAT", f)});
    Loc dir = iso.dir({D("SUB", sub)});
    iso.root(iso.dir({D("DIR", dir), F("TOP.DAT", f)}));
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    for (const char *yes : {"DIR\\SUB\\FILE.DAT", "dir/sub\\file.dat", "DIR//SUB\\/\\FILE.DAT", "DIR\\", "Dir/Sub/", ""})
        EXPECT_EQ(cd_exists(s, yes), 1) << yes;
    for (const char *no : {"\\DIR", "DIR\\MISSING", "MISSING\\FILE.DAT", "TOP.DAT\\FILE.DAT", "DIR\\.", "DIR\\..\\DIR", "SUB"})
        EXPECT_EQ(cd_exists(s, no), 0) << no;

    uint64_t n = 12345;
    EXPECT_EQ(cd_read(s, "DIR\\SUB", &n), nullptr);
    EXPECT_EQ(cd_read(s, "", &n), nullptr);
    EXPECT_EQ(cd_read(s, "DIR\\NOPE", &n), nullptr);
    EXPECT_EQ(n, 12345u);
    uint8_t *d = cd_read(s, "dir\\sub\\file.dat", &n);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(n, content.size());
    EXPECT_EQ(memcmp(d, content.data(), n), 0);
    d[n] = '\0';  // the spare byte after the data
    free(d);
    cd_close(s);
}

TEST_F(CdSrcTest, BytesOfAPartAndTheLongestPathInImagesAndFolders) {
    Iso iso;
    Loc f = iso.file(pattern(4100, 9)), g = iso.file(pattern(10, 1));
    Loc sub = iso.dir({F("FILE.DAT", f), F("G.DAT", g)});
    iso.root(iso.dir({D("DIR", iso.dir({D("SUBFOLDER", sub)})), F("TOP.DAT", f)}));
    // The same sizes from either kind of source; `file` names one file of 4,100 bytes.
    auto check = [](CdSrc *s, const char *file) {
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_bytes_of(s, "DIR"), 4110u);
        EXPECT_EQ(cd_bytes_of(s, file), 4100u);
        EXPECT_EQ(cd_bytes_of(s, ""), 8210u);
        EXPECT_EQ(cd_bytes_of(s, "MISSING"), 0u);
        EXPECT_EQ(cd_longest_path(s), strlen("DIR\\SUBFOLDER\\FILE.DAT"));
        cd_close(s);
    };
    check(open_mem(iso), "dir\\subfolder\\file.dat");

    // The same tree as a folder.
    std::string folder = tmp + "\\folder";
    put(folder + "\\DIR\\SUBFOLDER\\FILE.DAT", pattern(4100, 9));
    put(folder + "\\DIR\\SUBFOLDER\\G.DAT", "0123456789");
    put(folder + "\\TOP.DAT", pattern(4100, 9));
    check(cd_open(folder.c_str()), "TOP.DAT");
}

TEST_F(CdSrcTest, DepthSixteenIsCopiedSeventeenIsNot) {
    Iso iso;
    Loc below{0, 0};
    bool have_below = false;
    uint64_t expected = 0;
    for (int level = 17; level >= 1; --level) {
        char name[16], dname[16];
        snprintf(name, sizeof name, "DEPTH%02d.DAT", level);
        Loc f = iso.file(pattern(level * 10, level));
        std::vector<Bytes> recs{F(name, f)};
        if (have_below) {
            snprintf(dname, sizeof dname, "D%02d", level + 1);
            recs.push_back(D(dname, below));
        }
        below = iso.dir(recs);
        have_below = true;
        if (level <= 16) expected += level * 10;
    }
    Loc top = iso.file(Bytes(3, 'r'));
    iso.root(iso.dir({F("TOP.DAT", top), D("D01", below)}));
    expected += 3;
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_total_bytes(s), expected);
    std::string d17;
    for (int i = 1; i <= 17; ++i) {
        char p[8];
        snprintf(p, sizeof p, "D%02d\\", i);
        d17 += p;
    }
    // Lookups have no depth limit.
    EXPECT_EQ(cd_exists(s, (d17 + "DEPTH17.DAT").c_str()), 1);
    // The longest path the copy writes is the deepest file it copies: "D01\...\D16\DEPTH16.DAT".
    EXPECT_EQ(cd_longest_path(s), 16u * 4u + 11u);
    Tally t;
    std::string dest = tmp + "\\dest";
    ASSERT_EQ(cd_copy_all(s, dest.c_str(), &t.p), 1);
    EXPECT_EQ(t.p.done, expected);
    std::string d16 = dest + "\\" + d17.substr(0, 16 * 4);
    EXPECT_EQ(contents(d16 + "DEPTH16.DAT"), str(pattern(160, 16)));
    EXPECT_EQ(names_in(d16), std::vector<std::string>{"DEPTH16.DAT"});
    cd_close(s);
}

TEST_F(CdSrcTest, FileSizesAndProgressChunks) {
    Bytes k64 = pattern(65536, 1), k64p1 = pattern(65537, 2), odd = pattern(200001, 3);
    Iso iso = iso_of({{"ZERO.DAT", {}}, {"K64.DAT", k64}, {"K64P1.DAT", k64p1}, {"ODD.DAT", odd}});
    for (int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        Bytes img = mode ? raw(iso.img, mode) : iso.img;
        CdSrc *s = cd_open_mem(img.data(), img.size());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_total_bytes(s), 65536u + 65537u + 200001u);
        std::string dest = tmp + "\\dest" + std::to_string(mode);
        put(dest + "\\K64.DAT", "an older file, replaced");
        Tally t;
        ASSERT_EQ(cd_copy_all_with(s, dest.c_str(), &t.p, 1), 1);
        std::vector<uint64_t> want{65536, 65536, 1, 65536, 65536, 65536, 3393};
        EXPECT_EQ(t.adds(), want);
        EXPECT_EQ(t.p.done, 65536u + 65537u + 200001u);
        EXPECT_EQ(contents(dest + "\\ZERO.DAT"), "");
        EXPECT_EQ(contents(dest + "\\K64.DAT"), str(k64));
        EXPECT_EQ(contents(dest + "\\K64P1.DAT"), str(k64p1));
        EXPECT_EQ(contents(dest + "\\ODD.DAT"), str(odd));
        cd_close(s);
    }
}

TEST_F(CdSrcTest, TruncatedImageFailsCleanly) {
    Iso iso;
    Loc root_at = iso.reserve(1);  // the directory before the data, so that cutting the data keeps it
    Bytes first = pattern(3000, 4), big = pattern(200000, 5);
    Loc a = iso.file(first), b = iso.file(big), c = iso.file(Bytes(10, 'z'));
    iso.root(iso.dir({F("A.DAT", a), F("BIG.DAT", b), F("C.DAT", c)}, root_at.extent));
    // The image ends 100,000 bytes into BIG.DAT.
    size_t cut_at = static_cast<size_t>(b.extent) * 2048 + 100000;
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        Bytes img = mode ? raw(iso.img, mode) : iso.img;
        img.resize(mode ? (cut_at / 2048) * 2352 + 16 + cut_at % 2048 : cut_at);
        std::string path = tmp + "\\cut" + std::to_string(mode) + ".img";
        put(path, img);
        CdSrc *s = cd_open(path.c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_total_bytes(s), 3000u + 200000u + 10u);
        EXPECT_EQ(cd_exists(s, "BIG.DAT"), 1);
        uint64_t n = 0;
        EXPECT_EQ(cd_read(s, "BIG.DAT", &n), nullptr);
        std::string dest = tmp + "\\dest" + std::to_string(mode);
        Tally t;
        EXPECT_EQ(cd_copy_all_with(s, dest.c_str(), &t.p, 1), 0);
        EXPECT_NE(log().find("read error in BIG.DAT (BIG.DAT in image " + path +
                             "): the image ends early: it may be incomplete\n"),
                  std::string::npos)
            << log();
        EXPECT_EQ(contents(dest + "\\A.DAT"), str(first));
        // The chunk that reaches the cut is not written; the one before it is.
        EXPECT_EQ(contents(dest + "\\BIG.DAT"), str(big).substr(0, 65536));
        EXPECT_EQ(path_exists((dest + "\\C.DAT").c_str()), 0);
        EXPECT_EQ(t.p.done, 3000u + 65536u);
        cd_close(s);
    }

    // A raw image whose last sector ends right after its user bytes still reads that sector.
    Bytes img = raw(iso.img, 1);
    img.resize(img.size() - (2352 - 16 - 2048));
    CdSrc *s = cd_open_mem(img.data(), img.size());
    ASSERT_NE(s, nullptr);
    uint64_t n = 0;
    uint8_t *d = cd_read(s, "C.DAT", &n);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(d), n), "zzzzzzzzzz");
    free(d);
    img.resize(img.size() - 1);
    cd_close(s);
    s = cd_open_mem(img.data(), img.size());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_read(s, "C.DAT", &n), nullptr);
    cd_close(s);
}

TEST_F(CdSrcTest, DestinationThatCannotBeWritten) {
    Iso iso = iso_of({{"A.DAT", Bytes(4, 'a')}, {"B.DAT", Bytes(4, 'b')}});
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    std::string dest = tmp + "\\dest";
    ASSERT_TRUE(make_dirs((dest + "\\B.DAT").c_str()));  // a folder where the file must go
    EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 0);
    EXPECT_NE(log().find("cannot write " + dest + "\\B.DAT\n"), std::string::npos);
    EXPECT_EQ(contents(dest + "\\A.DAT"), "aaaa");
    cd_close(s);
}

// ---------------------------------------------------------------------------------------------------
// Hostile images

TEST_F(CdSrcTest, NamesThatAreNotPlainNamesAreNeverUsed) {
    struct Case {
        std::string id;
        bool dir;
        const char *shown;
    } cases[] = {
        {"..", false, "."},            {"..;1", false, "."},       {".", true, ""},
        {"..", true, "."},             {"..\\..\\EVIL", false, "..\\..\\EVIL"},
        {"../EVIL", false, "../EVIL"}, {"C:EVIL", false, "C:EVIL"}, {"A:B", true, "A:B"},
        {"A\x01" "B", false, "A\\x01B"}, {std::string("A\0B", 3), false, "A\\x00B"},
        {"DEL\x7f", false, "DEL\\x7F"}, {"  ", false, "  "},        {"...", true, ".."},
        {"A*B", false, "A*B"},         {"NUL", false, "NUL"},      {"nul.txt;1", false, "nul.txt"},
        {"CON", true, "CON"},          {"com1.dat", false, "com1.dat"}, {"LPT9", false, "LPT9"},
        {"AUX .X", false, "AUX .X"},   {"Prn.", false, "Prn"},     {"CONIN$", false, "CONIN$"},
        {"COM\xc2\xb9", false, "COM\xc2\xb9"}, {"lpt\xc2\xb3.TXT", true, "lpt\xc2\xb3.TXT"},
        // Bytes that are not UTF-8 (here Western code page letters) would reach the disk as U+FFFD.
        {"COM\xb9", false, "COM\\xB9"},   {"L\xf3" "DZ.DAT", false, "L\\xF3DZ.DAT"},
        {"A\xc0\xaf" "B", false, "A\\xC0\\xAFB"},
    };
    int i = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.shown);
        Iso iso;
        Loc ok = iso.file(Bytes(5, 'k'));
        Loc evil = iso.file(Bytes(6, 'x'));
        Loc target = c.dir ? iso.dir({F("EVIL.DAT", evil)}) : evil;
        iso.root(iso.dir({F("OK.DAT", ok), record(c.id, target, c.dir)}));
        CdSrc *s = open_mem(iso);
        ASSERT_NE(s, nullptr);
        // The total still counts the entry: the copy fails anyway.
        EXPECT_EQ(cd_total_bytes(s), 11u);
        std::string box = tmp + "\\box" + std::to_string(i++);
        std::string dest = box + "\\game\\cd";
        EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 0);
        EXPECT_NE(log().find(std::string("unsafe name on the CD: \"") + c.shown + "\"\n"), std::string::npos);
        // Nothing lands outside the destination, and what came before the bad entry is there.
        EXPECT_EQ(names_in(box), std::vector<std::string>{"game"});
        EXPECT_EQ(names_in(box + "\\game"), std::vector<std::string>{"cd"});
        EXPECT_EQ(names_in(dest), std::vector<std::string>{"OK.DAT"});
        cd_close(s);
    }
    EXPECT_EQ(names_in(tmp).size(), static_cast<size_t>(i));  // the boxes alone

    // Names close to device names are plain names, and so are UTF-8 names ("ÉTÉ.DAT"; its bytes are also
    // letters of the Western code page, which these tests may run under).
    Iso iso;
    Loc f = iso.file(Bytes(1, 'p'));
    iso.root(iso.dir({F("COM10", f), F("NULL.DAT", f), F("CONX", f), F("AUXILIAR.Y", f), F("LPT", f), F("A..B", f),
                      F("COM\xc2\xb4", f), F("\xc3\x89T\xc3\x89.DAT", f)}));
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    std::string dest = tmp + "\\plain";
    EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 1);
    EXPECT_EQ(names_in(dest).size(), 8u);
    cd_close(s);
}

TEST_F(CdSrcTest, FoldersThatLoopBackArePassedOver) {
    Iso iso;
    Loc f = iso.file(pattern(100, 1));
    // The root is written last; its extent is known in advance because nothing follows it.
    uint32_t a_ext = iso.sectors() + 1, root_ext = iso.sectors() + 2;  // after SHARED
    Loc shared = iso.dir({F("S.DAT", f)});
    ASSERT_EQ(shared.extent + 1, a_ext);
    Loc a = iso.dir({D("BACK", {root_ext, 2048}), D("ME", {a_ext, 2048}), F("A.DAT", f)});
    ASSERT_EQ(a.extent, a_ext);
    Loc root = iso.dir({D("SELF", {root_ext, 2048}), D("A", a), D("X", shared), D("Y", shared), F("R.DAT", f)});
    ASSERT_EQ(root.extent, root_ext);
    iso.root(root);
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    // Shared folders are no loop: X and Y both count and copy.
    EXPECT_EQ(cd_total_bytes(s), 400u);
    Tally t;
    std::string dest = tmp + "\\dest";
    ASSERT_EQ(cd_copy_all(s, dest.c_str(), &t.p), 1);
    EXPECT_EQ(t.p.done, 400u);
    auto got = tree(dest);
    std::map<std::string, std::string> want{{"A", "<dir>"},      {"A\\A.DAT", str(pattern(100, 1))},
                                            {"X", "<dir>"},      {"X\\S.DAT", str(pattern(100, 1))},
                                            {"Y", "<dir>"},      {"Y\\S.DAT", str(pattern(100, 1))},
                                            {"R.DAT", str(pattern(100, 1))}};
    EXPECT_TRUE(got == want);
    // Lookups may still follow them.
    EXPECT_EQ(cd_exists(s, "SELF\\A\\BACK\\R.DAT"), 1);
    cd_close(s);
}

TEST_F(CdSrcTest, SharedFoldersCannotMultiplyWithoutEnd) {
    // Sixteen levels, each folder holding forty records of the next one: 40^16 folders for a walk
    // that trusted them. The walks stop once they have read as many folder sectors as the image has.
    Iso iso;
    Loc f = iso.file(Bytes(1, 'q'));
    Loc next = iso.dir({F("LEAF.DAT", f)});
    for (int level = 0; level < 16; ++level) {
        std::vector<Bytes> recs;
        for (int i = 0; i < 40; ++i) {
            char n[8];
            snprintf(n, sizeof n, "D%02d", i);
            recs.push_back(D(n, next));
        }
        next = iso.dir(recs);
    }
    iso.root(next);
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    uint64_t total = cd_total_bytes(s);
    EXPECT_LT(total, 2000u);
    std::string dest = tmp + "\\dest";
    EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 0);
    EXPECT_NE(log().find("too many folders on the CD"), std::string::npos);
    EXPECT_LE(count_folders(dest), static_cast<int>(iso.sectors() + 1024));
    EXPECT_EQ(cd_exists(s, "D00\\D39\\D00\\D39\\D00\\D39\\D00\\D39\\D00\\D39\\D00\\D39\\D00\\D39\\D00\\D39\\LEAF.DAT"), 1);
    cd_close(s);
}

TEST_F(CdSrcTest, RecordsReachingPastTheirSectorEndIt) {
    Iso iso;
    Loc f = iso.file(Bytes(8, 'f'));
    // Nine padded records take each directory's only sector to byte 68 + 44 + 9 x 200 = 1912.
    auto filled = [&](Bytes last) {
        std::vector<Bytes> recs{F("FIRST.DAT", f)};
        for (int i = 0; i < 9; ++i) recs.push_back(padded(F("FILL" + std::to_string(i), f), 200));
        recs.push_back(last);
        return iso.dir(recs);
    };
    const uint32_t at = 1912;
    // D1: a record whose identifier runs past the sector.
    Loc d1 = filled(F("LONGNAME.DAT", f));
    ASSERT_EQ(iso.sector(d1.extent)[at + 32], 14);
    iso.sector(d1.extent)[at + 32] = 250;
    // D2: a record whose length runs past the sector.
    Loc d2 = filled(F("LATE.DAT", f));
    ASSERT_EQ(iso.sector(d2.extent)[at], 44);
    iso.sector(d2.extent)[at] = 200;
    // D3: after STEP.DAT, a record 20 bytes before the end: its fixed fields alone do not fit.
    Loc d3 = filled(padded(F("STEP.DAT", f), 2048 - 20 - at));
    iso.sector(d3.extent)[2048 - 20] = 19;
    iso.root(iso.dir({D("D1", d1), D("D2", d2), D("D3", d3)}));
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_exists(s, "D1\\FIRST.DAT"), 1);
    EXPECT_EQ(cd_exists(s, "D1\\FILL8"), 1);
    EXPECT_EQ(cd_exists(s, "D1\\LONGNAME.DAT"), 0);
    EXPECT_EQ(cd_exists(s, "D2\\LATE.DAT"), 0);
    EXPECT_EQ(cd_exists(s, "D3\\STEP.DAT"), 1);
    EXPECT_EQ(cd_total_bytes(s), 8u * (10 + 10 + 11));
    std::string dest = tmp + "\\dest";
    EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 1);
    EXPECT_EQ(names_in(dest + "\\D1").size(), 10u);
    EXPECT_EQ(names_in(dest + "\\D3").size(), 11u);
    cd_close(s);
}

TEST_F(CdSrcTest, SizesFromTheImageAreBounded) {
    // A root directory that claims 4 GiB, a folder and a file far beyond the image: nothing is
    // allocated for them (the sanitizer build refuses such allocations) and they read as missing.
    Iso iso;
    Loc f = iso.file(Bytes(9, 'h'));
    Loc sub = iso.dir({F("IN.DAT", f)});
    iso.root(iso.dir({D("HUGE", {sub.extent, 0xFFFFF800u}), D("FAR", {0xFFFFFFF0u, 4096}),
                      F("BIG.DAT", {f.extent, 0xFFFFFFFFu}), F("OK.DAT", f)}));
    CdSrc *s = open_mem(iso);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_exists(s, "HUGE\\IN.DAT"), 0);
    EXPECT_EQ(cd_exists(s, "FAR\\IN.DAT"), 0);
    uint64_t n = 0;
    EXPECT_EQ(cd_read(s, "BIG.DAT", &n), nullptr);
    EXPECT_EQ(cd_total_bytes(s), 0xFFFFFFFFull + 9);
    cd_close(s);

    Iso whole = iso_of({{"OK.DAT", Bytes(9, 'h')}});
    put_le(whole.img, 16 * 2048 + 166, 0xFFFFFFFFu, 4);
    s = open_mem(whole);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_exists(s, "OK.DAT"), 0);
    EXPECT_EQ(cd_total_bytes(s), 0u);
    std::string dest = tmp + "\\dest";
    EXPECT_EQ(cd_copy_all(s, dest.c_str(), nullptr), 1);
    EXPECT_TRUE(is_dir(dest.c_str()));
    EXPECT_TRUE(names_in(dest).empty());
    cd_close(s);
}

// ---------------------------------------------------------------------------------------------------
// Copies on several workers

TEST(CopyWorkers, OneFromACdDriveElseOnePerProcessorUpToFour) {
    EXPECT_EQ(copy_workers(PF_DRIVE_CDROM, 8), 1) << "a disc in a drive is read by one reader";
    EXPECT_EQ(copy_workers(PF_DRIVE_CDROM, 1), 1);
    EXPECT_EQ(copy_workers(PF_DRIVE_FIXED, 2), 2);
    EXPECT_EQ(copy_workers(PF_DRIVE_FIXED, 16), 4);
    EXPECT_EQ(copy_workers(PF_DRIVE_FIXED, 1), 1);
    EXPECT_EQ(copy_workers(PF_DRIVE_FIXED, 0), 1) << "an unknown processor count still copies";
    EXPECT_EQ(copy_workers(PF_DRIVE_REMOTE, 4), 4) << "a network share gains most from overlapping files";
    EXPECT_EQ(copy_workers(PF_DRIVE_REMOTE, 3), 3);
    EXPECT_EQ(copy_workers(PF_DRIVE_REMOVABLE, 2), 2);
    EXPECT_EQ(copy_workers(PF_DRIVE_UNKNOWN, 2), 2);
    EXPECT_GE(pf_processor_count(), 1u) << "the processor count is unknown: every copy runs on one worker";
}

// One CD twice: as an image and as the same files in folders (root, A, B, B\C), n files in each
// folder with sizes around the chunk edges. A file named `bad` lies beyond the end of the image.
struct TwinCd {
    Iso iso;
    std::map<std::string, std::string> want;  // relative path -> bytes; "<dir>" for folders
    std::vector<std::string> order;           // the files in the image copy's order
    uint64_t total = 0;

    TwinCd(int n, const std::string &bad = "") {
        std::vector<Bytes> c = files("B\\C", n, 4, bad);
        Loc at_c = iso.dir(c);
        std::vector<Bytes> b = files("B", n, 3, bad);
        b.push_back(D("C", at_c));
        Loc at_b = iso.dir(b);
        Loc at_a = iso.dir(files("A", n, 2, bad));
        std::vector<Bytes> root = files("", n, 1, bad);
        root.push_back(D("A", at_a));
        root.push_back(D("B", at_b));
        iso.root(iso.dir(root));
        for (const char *f : {"A", "B", "B\\C"}) want[f] = "<dir>";
        // Files before folders in every listing: the root's, then A's, B's and C's.
        std::vector<std::string> in_order;
        for (const char *f : {"", "A\\", "B\\", "B\\C\\"})
            for (int i = 0; i < n; ++i) in_order.push_back(f + name(i));
        order = in_order;
    }
    static std::string name(int i) {
        char b[16];
        snprintf(b, sizeof b, "F%03d.DAT", i);
        return b;
    }
    std::vector<Bytes> files(const std::string &folder, int n, int seed, const std::string &bad) {
        static const size_t sizes[] = {0, 1, 2047, 2048, 65536, 65537, 150000, 300};
        std::vector<Bytes> recs;
        for (int i = 0; i < n; ++i) {
            std::string rel = folder.empty() ? name(i) : folder + "\\" + name(i);
            Bytes data = pattern(sizes[(i + seed) % 8], seed * 1000 + i);
            Loc at = iso.file(data);
            if (rel == bad) at.extent = 0x7FFFFFF0u;
            recs.push_back(F(name(i), at));
            want[rel] = str(data);
            total += data.size();
        }
        return recs;
    }
    // The files written into a folder, as the folder source.
    void spill_into(const std::string &folder) const {
        ASSERT_TRUE(make_dirs(folder.c_str()));
        for (auto &kv : want) {
            if (kv.second == "<dir>")
                ASSERT_TRUE(make_dirs((folder + "\\" + kv.first).c_str()));
            else
                put(folder + "\\" + kv.first, kv.second);
        }
    }
};

TEST_F(CdSrcTest, FourWorkersCopyLikeOneFromFoldersAndImages) {
    TwinCd cd(40);
    std::string folder = tmp + "\\cdtree";
    cd.spill_into(folder);
    put(tmp + "\\cd.iso", cd.iso.img);
    put(tmp + "\\cd.bin", raw(cd.iso.img, 1));
    int run = 0;
    for (const std::string &source : {folder, tmp + "\\cd.iso", tmp + "\\cd.bin"}) {
        CdSrc *s = cd_open(source.c_str());
        ASSERT_NE(s, nullptr) << source;
        EXPECT_EQ(cd_total_bytes(s), cd.total);
        s->sum_files = 1;
        for (int workers : {1, 4, 0}) {  // 0: as many as cd_copy_all picks here
            SCOPED_TRACE(source + " with " + std::to_string(workers) + " workers");
            Tally t;
            std::string dest = tmp + "\\out" + std::to_string(run++);
            int ok = workers ? cd_copy_all_with(s, dest.c_str(), &t.p, workers) : cd_copy_all(s, dest.c_str(), &t.p);
            ASSERT_EQ(ok, 1);
            EXPECT_TRUE(tree(dest) == cd.want) << "the copy differs from the CD";
            EXPECT_EQ(t.p.done, cd.total) << "the progress does not end at the total";
            for (uint64_t a : t.adds()) ASSERT_TRUE(a > 0 && a <= cd.total) << "progress went backwards: " << a;
            EXPECT_EQ(t.elsewhere, 0) << "the progress callback ran on a copy worker";
            // Each file summed from the bytes the workers wrote.
            size_t n = 0;
            CdFile *files = cd_files(s, &n);
            ASSERT_EQ(n, cd.order.size());
            for (size_t i = 0; i < n; ++i) {
                const std::string &bytes = cd.want[files[i].rel];
                EXPECT_TRUE(files[i].summed && files[i].crc == crc32_buf(bytes.data(), bytes.size())) << files[i].rel;
            }
            free(files);
        }
        cd_close(s);
    }
    EXPECT_EQ(log(), "") << "a successful copy logs nothing";
}

#ifdef _WIN32
// Keeps the file open without sharing: nobody else can read it until the holder goes.
struct Unreadable {
    HANDLE h;
    explicit Unreadable(const std::string &p)
        : h(CreateFileA(p.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Unreadable() { CloseHandle(h); }
};
#else
// Replaces the file with a link to nothing: it is listed, but cannot be opened.
struct Unreadable {
    explicit Unreadable(const std::string &p) {
        unlink(host_path(p).c_str());
        EXPECT_EQ(symlink("/nonexistent/zarnith", host_path(p).c_str()), 0);
    }
};
#endif

TEST_F(CdSrcTest, FailureInTheMiddleStopsTheCopyAndNamesTheFile) {
    const std::string bad = "A\\F010.DAT";
    TwinCd cd(40, bad);
    put(tmp + "\\cd.iso", cd.iso.img);
    std::string folder = tmp + "\\cdtree";
    cd.spill_into(folder);

    // What the workers leave: every file there is whole, the failing one aside.
    auto check_leftovers = [&](const std::string &dest, const std::string &failing) {
        auto got = tree(dest);
        for (auto &kv : got) {
            if (kv.first != failing && cd.want.count(kv.first)) {
                EXPECT_EQ(kv.second.size(), cd.want[kv.first].size()) << kv.first << " was left half-written";
            }
        }
        return got;
    };
    auto count = [&](const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };

    // An unreadable file in the image.
    CdSrc *s = cd_open((tmp + "\\cd.iso").c_str());
    ASSERT_NE(s, nullptr);
    Tally t;
    std::string dest = tmp + "\\from-image";
    EXPECT_EQ(cd_copy_all_with(s, dest.c_str(), &t.p, 4), 0);
    EXPECT_EQ(log(), "read error in F010.DAT (A\\F010.DAT in image " + tmp +
                         "\\cd.iso): the image ends early: it may be incomplete\n")
        << "one line, naming the file on the CD and the image";
    auto got = check_leftovers(dest, bad);
    // The workers take the files in order: all before the failing one were taken before it and finish.
    for (const std::string &f : cd.order) {
        if (f == bad) break;
        EXPECT_EQ(got[f], cd.want[f]) << f;
    }
    EXPECT_LE(t.p.done, cd.total);
    EXPECT_EQ(t.elsewhere, 0);
    cd_close(s);

    // An unreadable file in the folder.
    s = cd_open(folder.c_str());
    ASSERT_NE(s, nullptr);
    {
        Unreadable hold(folder + "\\" + bad);
        dest = tmp + "\\from-folder";
        EXPECT_EQ(cd_copy_all_with(s, dest.c_str(), nullptr, 4), 0);
    }
    std::string text = log();
    EXPECT_EQ(count(text, "cannot read " + folder + "\\" + bad + "\n"), 1) << text;
    EXPECT_EQ(count(text, "\n"), 2) << "one line for each failure: " << text;
    check_leftovers(dest, bad);
    cd_close(s);

#ifndef _WIN32
    // A disk that fills: the destination of one file writes nowhere but to a full device.
    std::string full = "B\\F009.DAT";  // 64 KiB
    TwinCd good(40);
    put(tmp + "\\good.iso", good.iso.img);
    good.spill_into(tmp + "\\good");
    for (const char *source : {"good.iso", "good"}) {
        SCOPED_TRACE(source);
        s = cd_open((tmp + "\\" + source).c_str());
        ASSERT_NE(s, nullptr);
        std::string rel = std::string("full-") + source;
        ASSERT_TRUE(make_dirs((tmp + "\\" + rel + "\\B").c_str()));
        ASSERT_EQ(symlink("/dev/full", dir.host(rel + "/B/F009.DAT").c_str()), 0);
        EXPECT_EQ(cd_copy_all_with(s, (tmp + "\\" + rel).c_str(), nullptr, 4), 0) << "a full disk must fail the copy";
        check_leftovers(tmp + "\\" + rel, full);
        cd_close(s);
    }
#endif
}

TEST_F(CdSrcTest, AFileListedTwiceEndsWithItsLastDataOnAnyNumberOfWorkers) {
    // A file recorded in several extents lists once per extent; names that differ only in letter
    // case are one file on Windows. Copied in turn the last one wins: so it must with workers too.
    Iso iso;
    Bytes first = pattern(70000, 1), last = pattern(3000, 2), lower = pattern(5000, 3), upper_ = pattern(9, 4);
    // Side by side, so that workers would take them at once.
    std::vector<Bytes> recs{F("PART.DAT", iso.file(first)), F("PART.DAT", iso.file(last)),
                            F("MIXED.DAT", iso.file(upper_)), F("mixed.dat", iso.file(lower))};
    for (int i = 0; i < 30; ++i) recs.push_back(F("FILL" + std::to_string(i), iso.file(pattern(20000, i))));
    iso.root(iso.dir(recs));
    uint64_t total = 70000 + 3000 + 5000 + 9 + 30 * 20000;
    for (int workers : {1, 4}) {
        SCOPED_TRACE(workers);
        CdSrc *s = open_mem(iso);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cd_total_bytes(s), total);
        Tally t;
        std::string dest = tmp + "\\dest" + std::to_string(workers);
        ASSERT_EQ(cd_copy_all_with(s, dest.c_str(), &t.p, workers), 1);
        EXPECT_EQ(t.p.done, total) << "every extent still counts";
        EXPECT_EQ(contents(dest + "\\PART.DAT"), str(last));
        int mixed = 0;
        for (const std::string &n : names_in(dest)) {
            if (same_name(n, "MIXED.DAT")) {
                ++mixed;
                EXPECT_EQ(contents(dest + "\\" + n), str(lower));
            }
        }
        EXPECT_EQ(mixed, 1);
        cd_close(s);
    }
}

}  // namespace
