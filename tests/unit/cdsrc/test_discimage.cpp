// Disc descriptors on hand-made fixtures: CUE sheets as rippers write them, CloneCD, Alcohol and Nero,
// good ones beside broken ones, each with what it must give.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cdsrc/cdsrc.h"
#include "iso_builder.h"
#include "testutil.h"

namespace {

typedef int (*Parser)(const char *, const uint8_t *, size_t, DiscTrack *, const char **);

// "file base size offset", " @disc address" when it is not 0, or "why: <reason>".
std::string parse(Parser parser, const char *path, const std::string &text) {
    DiscTrack t;
    const char *why = nullptr;
    if (!parser(path, reinterpret_cast<const uint8_t *>(text.data()), text.size(), &t, &why))
        return std::string("why: ") + (why ? why : "(none)");
    return std::string(t.file) + " " + std::to_string(t.base) + " " + std::to_string(t.sector_size) + " " +
           std::to_string(t.data_offset) + (t.disc_lba ? " @" + std::to_string(t.disc_lba) : "");
}

const char *const SHEET = "C:\\cds\\game.cue";
const std::string TRACK1 = "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n";

std::string nrg(const Bytes &chunks) { return parse(nrg_parse, "F:\\n\\game.nrg", str(chunks)); }

}  // namespace

TEST(DiscImage, CueSheetsAsRippersWriteThem) {
    auto cue = [](const std::string &text, const char *path = SHEET) { return parse(cue_parse, path, text); };
    // The form every tool writes: quoted name, upper case, CR LF.
    EXPECT_EQ(cue("FILE \"game.bin\" BINARY\r\n" + TRACK1), "C:\\cds\\game.bin 0 2352 16");
    // Names with a drive or a root are taken as they are.
    EXPECT_EQ(cue("FILE \"D:\\images\\game.bin\" BINARY\r\n" + TRACK1), "D:\\images\\game.bin 0 2352 16");
    EXPECT_EQ(cue("FILE \"\\images\\game.bin\" BINARY\r\n" + TRACK1), "\\images\\game.bin 0 2352 16");
    // Unquoted names run up to the type word, spaces and all; without a type word to the line's end.
    EXPECT_EQ(cue("FILE my game.bin BINARY\r\n" + TRACK1), "C:\\cds\\my game.bin 0 2352 16");
    EXPECT_EQ(cue("FILE cd.bin motorola  \r\n" + TRACK1), "C:\\cds\\cd.bin 0 2352 16");
    EXPECT_EQ(cue("FILE cd.bin\r\n" + TRACK1), "C:\\cds\\cd.bin 0 2352 16");
    // Any letter case, LF or CR alone, a byte order mark, blanks and tabs before the keyword.
    EXPECT_EQ(cue("file \"a.bin\" binary\n\ttrack 01 mode2/2352\n  index 01 00:00:00\n"), "C:\\cds\\a.bin 0 2352 24");
    EXPECT_EQ(cue("\xEF\xBB\xBFREM x\rFILE \"a.bin\" BINARY\r  TRACK 01 MODE1/2048\r    INDEX 01 00:00:00\r"),
              "C:\\cds\\a.bin 0 2048 0");
    // Saved as UTF-16 (Notepad's "Unicode"), either byte order, a name beyond the code page in it.
    auto utf16 = [](const std::u16string &text, bool big) {
        std::string out = big ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t c : text) {
            char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
            out += big ? std::string{hi, lo} : std::string{lo, hi};
        }
        return out;
    };
    const std::u16string track1 = u"  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n";
    for (bool big : {false, true}) {
        EXPECT_EQ(cue(utf16(u"FILE \"a.bin\" BINARY\r\n" + track1, big)), "C:\\cds\\a.bin 0 2352 16") << big;
        EXPECT_EQ(cue(utf16(u"FILE \"\u0141\u00f3d\u017a.bin\" BINARY\r\n" + track1, big)),
                  "C:\\cds\\\xC5\x81\xC3\xB3" "d\xC5\xBA.bin 0 2352 16") << big;
    }
    // Not UTF-8: written in the ANSI code page ("f\xFCr" is "f\u00fcr" in the Western one, which the tests run in).
    EXPECT_EQ(cue("FILE \"Spiel f\xFCr J.bin\" BINARY\r\n" + TRACK1), "C:\\cds\\Spiel f\xC3\xBCr J.bin 0 2352 16");
    // "FILE" inside another line is no FILE line.
    EXPECT_EQ(cue("TITLE \"Tovek PROFILE\"\r\nREM FILE \"x.bin\"\r\nFILE \"a.bin\" BINARY\r\n" + TRACK1),
              "C:\\cds\\a.bin 0 2352 16");
    // The sheet's folder, whichever separator its path uses; never the current folder.
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n" + TRACK1, "Z:/images/game.cue"), "Z:/images/a.bin 0 2352 16");
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n" + TRACK1, "Z:\\x/images\\sub/game.cue"), "Z:\\x/images\\sub/a.bin 0 2352 16");
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n" + TRACK1, "game.cue"), "a.bin 0 2352 16");
    // The data comes from the FILE of the first data track, audio before it or not.
    EXPECT_EQ(cue("FILE \"audio.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                  "FILE \"data.bin\" BINARY\r\n  TRACK 02 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
                  "FILE \"more.wav\" WAVE\r\n  TRACK 03 AUDIO\r\n    INDEX 01 00:00:00\r\n"),
              "C:\\cds\\data.bin 0 2352 16");
    // A data track after audio and a pregap in the same file: found at its INDEX 01 time, which is also
    // its disc address; PREGAP and POSTGAP lines add sectors that the disc has and no file holds.
    EXPECT_EQ(cue("FILE \"one.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  TRACK 02 MODE1/2352\r\n"
                  "    INDEX 00 00:04:00\r\n    INDEX 01 00:06:00\r\n"),
              "C:\\cds\\one.bin " + std::to_string(450 * 2352) + " 2352 16 @450");
    EXPECT_EQ(cue("FILE \"one.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  POSTGAP 00:01:00\r\n"
                  "  TRACK 02 MODE1/2352\r\n    PREGAP 00:02:00\r\n    INDEX 01 00:06:00\r\n"),
              "C:\\cds\\one.bin " + std::to_string(450 * 2352) + " 2352 16 @675");
    // ... also when its sectors are smaller than the audio ones before it, and over the minutes.
    EXPECT_EQ(cue("FILE \"one.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  TRACK 02 MODE1/2048\r\n"
                  "    INDEX 01 01:02:03\r\n"),
              "C:\\cds\\one.bin " + std::to_string((62 * 75 + 3) * 2352ull) + " 2048 0 @4653");
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n  TRACK 01 MODE2/2336\r\n    INDEX 01 00:00:00\r\n"), "C:\\cds\\a.bin 0 2336 8");
    // A sheet with a FILE and no TRACK at all: data from byte 0, layout left to the probes.
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n"), "C:\\cds\\a.bin 0 0 0");

    // Broken sheets and what they say.
    const std::string no_track = "why: the sheet has no data track";
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"), no_track);
    EXPECT_EQ(cue("REM only a comment\r\n"), no_track);
    EXPECT_EQ(cue(""), no_track);
    // A data track without INDEX 01 starts where the sheet stands.
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n"), "C:\\cds\\a.bin 0 2352 16");
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  TRACK 02 MODE1/2048\r\n"
                  "  TRACK 03 AUDIO\r\n    INDEX 01 00:10:00\r\n"),
              "C:\\cds\\a.bin 0 2048 0");
    const std::string damaged = "why: the descriptor is damaged";
    EXPECT_EQ(cue("FILE \"a.bin BINARY\r\n" + TRACK1), damaged);
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:60:00\r\n"), damaged);
    EXPECT_EQ(cue("FILE \"a.bin\" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:10:00\r\n  TRACK 02 MODE1/2352\r\n"
                  "    INDEX 01 00:05:00\r\n"),
              damaged);
    // Names that would open a device instead of a file.
    const std::string bad_name = "why: the sheet names a data file that is no plain file name";
    for (const char *name : {"NUL", "C:\\x\\com1.bin", "aux .bin", "NUL:", "prn\\x.bin", "\\\\.\\PhysicalDrive0", "//?/C:/x.bin", ""})
        EXPECT_EQ(cue("FILE \"" + std::string(name) + "\" BINARY\r\n" + TRACK1), bad_name) << name;
    // A name that does not fit a path buffer is refused rather than cut.
    EXPECT_EQ(cue("FILE \"" + std::string(600, 'n') + ".bin\" BINARY\r\n" + TRACK1), bad_name);
}

TEST(DiscImage, CdrdaoTocSheets) {
    auto toc = [](const std::string &text) { return parse(toc_parse, "C:\\cds\\game.toc", text); };
    // As "cdrdao read-cd" writes them: the session type, comments, one data track.
    EXPECT_EQ(toc("CD_ROM\n\n// Track 1\nTRACK MODE1\nNO COPY\nDATAFILE \"data.bin\" 00:10:00 // length in bytes: 1536000\n"),
              "C:\\cds\\data.bin 0 2048 0");
    EXPECT_EQ(toc("CD_ROM_XA\r\nTRACK MODE2_RAW\r\nFILE \"cd.bin\" 00:02:00 00:30:00\r\n"), "C:\\cds\\cd.bin 352800 2352 24");
    EXPECT_EQ(toc("TRACK MODE2_FORM_MIX\nDATAFILE \"D:\\x\\cd.bin\" #4672\n"), "D:\\x\\cd.bin 4672 2336 8");
    // Audio first: the data track's disc address is the audio's length (MSF, or samples), its pregap
    // of zeros (on the disc, in no file) included; START inside the data puts index 1 further on.
    const std::string audio = "CD_ROM\nTRACK AUDIO\nCOPY\nISRC \"XXX\"\nFILE \"cd.bin\" 0 00:06:00\n";
    EXPECT_EQ(toc(audio + "TRACK MODE1_RAW\nDATAFILE \"cd.bin\" #1058400\n"), "C:\\cds\\cd.bin 1058400 2352 16 @450");
    EXPECT_EQ(toc("TRACK AUDIO\nFILE \"a.wav\" 0 264600\nTRACK MODE1\nPREGAP 00:02:00\nDATAFILE \"d.iso\"\n"),
              "C:\\cds\\d.iso 0 2048 0 @600");
    EXPECT_EQ(toc(audio + "TRACK MODE1_RAW\nDATAFILE \"cd.bin\" #1058400 00:02:00\nSTART\nDATAFILE \"cd.bin\" #1411200\n"),
              "C:\\cds\\cd.bin 1411200 2352 16 @600");
    EXPECT_EQ(toc("TRACK MODE1_RAW\nDATAFILE \"gap.bin\" 00:02:00\nSTART\nDATAFILE \"cd.bin\" #16\n"), "C:\\cds\\cd.bin 16 2352 16");
    EXPECT_EQ(toc("TRACK MODE1_RAW\nDATAFILE \"cd.bin\" 00:10:00\nSTART 00:02:00\n"), "C:\\cds\\cd.bin 352800 2352 16");
    // CD-TEXT blocks (braces inside their texts too) and sub-channel data after each sector.
    EXPECT_EQ(toc("CD_ROM\nCD_TEXT {\n LANGUAGE_MAP { 0 : EN }\n LANGUAGE 0 { TITLE \"TRACK AUDIO }\" }\n}\n"
                  "TRACK MODE1_RAW RW_RAW\nCD_TEXT { LANGUAGE 0 { TITLE \"x\" } }\nDATAFILE \"d.img\"\n"),
              "C:\\cds\\d.img 0 2448 16");
    const std::string no_track = "why: the sheet has no data track", damaged = "why: the descriptor is damaged";
    EXPECT_EQ(toc("CD_DA\nTRACK AUDIO\nFILE \"a.bin\" 0\n"), no_track);
    EXPECT_EQ(toc("CD_ROM\nTRACK MODE1\nZERO 00:02:00\n"), no_track);
    EXPECT_EQ(toc("CD_ROM\nTRACK MODE3\nDATAFILE \"a.bin\"\n"), damaged);
    EXPECT_EQ(toc("CD_ROM\nTRACK MODE1\nDATAFILE \"a.bin\n"), damaged);
    EXPECT_EQ(toc("CD_ROM\nTRACK MODE1\nDATAFILE a.bin\n"), damaged);
    EXPECT_EQ(toc("CD_ROM\nTRACK MODE2_RAW\nFILE \"a.bin\" x\n"), damaged);
    EXPECT_EQ(toc("FILE \"a.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n"), damaged);  // a CUE sheet
    EXPECT_EQ(toc(""), damaged);
    EXPECT_EQ(toc("CD_ROM\nTRACK MODE1\nDATAFILE \"con.bin\"\n"), "why: the sheet names a data file that is no plain file name");
}

TEST(DiscImage, CloneCdDescriptors) {
    auto ccd = [](const std::string &text) { return parse(ccd_parse, "D:\\rips\\game.ccd", text); };
    const std::string head = "[CloneCD]\r\nVersion=3\r\n[Disc]\r\nTocEntries=4\r\nSessions=1\r\n[Entry 0]\r\nPoint=0xa0\r\n";
    EXPECT_EQ(ccd(head + "[TRACK 1]\r\nMODE=1\r\nINDEX 1=0\r\n"), "D:\\rips\\game.img 0 2352 16");
    EXPECT_EQ(ccd(head + "[TRACK 1]\nMODE=2\nINDEX 1=0"), "D:\\rips\\game.img 0 2352 24");
    // Audio first: the data track starts at its own sector of the one .img.
    EXPECT_EQ(ccd(head + "[TRACK 1]\r\nMODE=0\r\nINDEX 1=0\r\n[TRACK 2]\r\nMODE=1\r\nINDEX 0=1000\r\nINDEX 1=1150\r\n"),
              "D:\\rips\\game.img " + std::to_string(1150 * 2352) + " 2352 16 @1150");
    // Key case and blanks around '=' do not matter; a value that is no number is not taken.
    EXPECT_EQ(ccd(head + "[track 1]\r\n mode = 1 \r\nindex 1= 0\r\n"), "D:\\rips\\game.img 0 2352 16");
    EXPECT_EQ(ccd(head + "[TRACK 1]\r\nMODE=1x\r\nINDEX 1=0\r\n"), "why: the sheet has no data track");
    EXPECT_EQ(ccd(head + "[TRACK 1]\r\nMODE=1\r\n"), "why: the sheet has no data track");
    EXPECT_EQ(ccd(head), "why: the sheet has no data track");
    EXPECT_EQ(ccd("[TRACK 1]\r\nMODE=1\r\nINDEX 1=0\r\n"), "why: the descriptor is damaged");
    EXPECT_EQ(ccd(""), "why: the descriptor is damaged");
    // The data file keeps the descriptor's folder, also with forward slashes.
    EXPECT_EQ(parse(ccd_parse, "Z:/r.ips/game", head + "[TRACK 1]\r\nMODE=1\r\nINDEX 1=0\r\n"), "Z:/r.ips/game.img 0 2352 16");
}

TEST(DiscImage, AlcoholDescriptors) {
    auto parse_mds = [](const Bytes &b, const char *path = "E:\\alc\\game.mds") {
        return parse(mds_parse, path, str(b));
    };
    EXPECT_EQ(parse_mds(mds({{0xAA, 2352, 0}})), "E:\\alc\\game.mdf 0 2352 16");
    EXPECT_EQ(parse_mds(mds({{0xAA, 2448, 0}})), "E:\\alc\\game.mdf 0 2448 16");
    EXPECT_EQ(parse_mds(mds({{0xAC, 2448, 0}})), "E:\\alc\\game.mdf 0 2448 24");
    EXPECT_EQ(parse_mds(mds({{0xAB, 2336, 0}})), "E:\\alc\\game.mdf 0 2336 8");
    EXPECT_EQ(parse_mds(mds({{0xAA, 2048, 0}})), "E:\\alc\\game.mdf 0 2048 0");
    // Audio first: the data track's own offset in the file, whatever comes before it.
    EXPECT_EQ(parse_mds(mds({{0xA9, 2352, 0}, {0xAA, 2352, 123456789012ull}})),
              "E:\\alc\\game.mdf 123456789012 2352 16");
    // Named data files, in 8-bit or UTF-16 text.
    EXPECT_EQ(parse_mds(mds({{0xAA, 2352, 0}}, "other.mdf")), "E:\\alc\\other.mdf 0 2352 16");
    EXPECT_EQ(parse_mds(mds({{0xAA, 2352, 0}}, "*.MDF", true)), "E:\\alc\\game.MDF 0 2352 16");
    EXPECT_EQ(parse_mds(mds({{0xAA, 2352, 0}}, "nul.mdf")), "why: the sheet names a data file that is no plain file name");
    // "*.ext" stays an extension: no folder and no device can come in through it.
    EXPECT_EQ(parse_mds(mds({{0xAA, 2352, 0}}, "*.m\\CON")), "why: the sheet names a data file that is no plain file name");
    EXPECT_EQ(parse_mds(mds({{0xAA, 2352, 0}}, "*./../x")), "why: the sheet names a data file that is no plain file name");
    EXPECT_EQ(parse_mds(mds({{0xA9, 2352, 0}})), "why: the sheet has no data track");
    EXPECT_EQ(parse_mds(mds({{0xAA, 2340, 0}})), "why: the sheet has no data track");
    Bytes bad = mds({{0xAA, 2352, 0}});
    bad[0] = 'm';
    EXPECT_EQ(parse_mds(bad), "why: the descriptor is damaged");
    // Cut anywhere, the descriptor is refused without reading past its end (the sanitizers watch).
    Bytes good = mds({{0xAA, 2352, 0}}, "x.mdf");
    for (size_t n = 0; n < good.size(); ++n) {
        std::string r = parse(mds_parse, "g.mds", std::string(good.begin(), good.begin() + n));
        EXPECT_EQ(r.rfind("why: ", 0), 0u) << "cut at " << n << ": " << r;
    }
    // Offsets far outside the descriptor.
    Bytes wild = mds({{0xAA, 2352, 0}});
    put_le(wild, 0x50, 0xFFFFFFF0u, 4);
    EXPECT_EQ(parse_mds(wild), "why: the descriptor is damaged");
}

TEST(DiscImage, NeroChunksAndFooters) {
    Bytes end = nrg_chunk("END!", {});
    auto with_end = [&](Bytes b) {
        b.insert(b.end(), end.begin(), end.end());
        return b;
    };
    EXPECT_EQ(nrg(with_end(nrg_chunk("DAOI", dao(false, {{2048, 0, 307200}})))), "F:\\n\\game.nrg 307200 2048 0");
    EXPECT_EQ(nrg(with_end(nrg_chunk("DAOX", dao(true, {{2352, 5, 5000000000ull}})))), "F:\\n\\game.nrg 5000000000 2352 16");
    EXPECT_EQ(nrg(nrg_chunk("DAOX", dao(true, {{2352, 7, 0}, {2448, 0x11, 352800}}))), "F:\\n\\game.nrg 352800 2448 24");
    EXPECT_EQ(nrg(nrg_chunk("DAOI", dao(false, {{2336, 3, 0}}))), "F:\\n\\game.nrg 0 2336 8");
    // Audio first: the data track's disc address is the audio after its index 1 and the data's pregap.
    EXPECT_EQ(nrg(nrg_chunk("DAOX", dao(true, {{2352, 7, 150 * 2352, 0, 450 * 2352},
                                               {2352, 5, 600 * 2352, 450 * 2352, 900 * 2352}}))),
              "F:\\n\\game.nrg 1411200 2352 16 @450");
    // A sector size that does not match its mode is no track of ours.
    EXPECT_EQ(nrg(nrg_chunk("DAOI", dao(false, {{2352, 0, 0}}))), "why: the sheet has no data track");
    // Track at once: the entries give the byte offset and mode.
    Bytes etnf(20, 0);
    put_be(etnf, 0, 4096, 4);
    put_be(etnf, 8, 2, 4);
    put_be(etnf, 12, 300, 4);  // its start sector on the disc
    EXPECT_EQ(nrg(nrg_chunk("ETNF", etnf)), "F:\\n\\game.nrg 4096 2048 0 @300");
    Bytes etn2(32, 0);
    put_be(etn2, 0, 1ull << 33, 8);
    put_be(etn2, 16, 6, 4);
    Bytes chained = nrg_chunk("SINF", Bytes(4, 0));
    Bytes e2 = nrg_chunk("ETN2", etn2);
    chained.insert(chained.end(), e2.begin(), e2.end());
    EXPECT_EQ(nrg(chained), "F:\\n\\game.nrg " + std::to_string(1ull << 33) + " 2352 24");
    // Audio only; nothing at all; a chunk longer than what is left.
    EXPECT_EQ(nrg(nrg_chunk("DAOI", dao(false, {{2352, 7, 0}}))), "why: the sheet has no data track");
    EXPECT_EQ(nrg({}), "why: the descriptor is damaged");
    Bytes cut = nrg_chunk("DAOI", dao(false, {{2048, 0, 0}}));
    cut.resize(cut.size() - 1);
    EXPECT_EQ(nrg(cut), "why: the descriptor is damaged");

    // Footers: "NERO" + 32-bit and "NER5" + 64-bit offsets, from the end of the file.
    uint64_t at = 0, len = 0;
    Bytes tail(12, 0);
    memcpy(&tail[4], "NERO", 4);
    put_be(tail, 8, 1000, 4);
    EXPECT_EQ(nrg_footer(tail.data(), tail.size(), 1100, &at, &len), 1);
    EXPECT_EQ(at, 1000u);
    EXPECT_EQ(len, 92u);
    Bytes tail5(12, 0);
    memcpy(&tail5[0], "NER5", 4);
    put_be(tail5, 4, 6000000000ull, 8);
    EXPECT_EQ(nrg_footer(tail5.data(), tail5.size(), 6000000100ull, &at, &len), 1);
    EXPECT_EQ(at, 6000000000ull);
    EXPECT_EQ(len, 88u);
    // Pointing past the end, or at a chunk area too large to be one: a footer with nothing to read.
    EXPECT_EQ(nrg_footer(tail5.data(), tail5.size(), 100, &at, &len), 1);
    EXPECT_EQ(len, 0u);
    put_be(tail5, 4, 0, 8);
    EXPECT_EQ(nrg_footer(tail5.data(), tail5.size(), 100ull << 20, &at, &len), 1);
    EXPECT_EQ(len, 0u);
    Bytes plain(12, 'x');
    EXPECT_EQ(nrg_footer(plain.data(), plain.size(), 1 << 20, &at, &len), 0);
    EXPECT_EQ(nrg_footer(tail.data(), tail.size(), 8, &at, &len), 0);
}
