// CHD track lists on hand-made entries: where the first data track's first sector lies among the CHD's
// frames, in which layout, at which disc address, and the lists that are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdsrc/cdsrc.h"

namespace {

const uint64_t FRAME = 2448;

// One CHT2 entry as chdman writes it; pgtype "V..." for a pregap stored in the track.
std::string cht2(int n, const char *type, int frames, int pregap = 0, const char *pgtype = "MODE1", int postgap = 0) {
    return "TRACK:" + std::to_string(n) + " TYPE:" + type + " SUBTYPE:NONE FRAMES:" + std::to_string(frames) +
           " PREGAP:" + std::to_string(pregap) + " PGTYPE:" + pgtype + " PGSUB:NONE POSTGAP:" +
           std::to_string(postgap) + std::string(1, '\0');
}

// "frame offset @disc address" of the first data track, or "why: <reason>" (data: the CHD's data bytes,
// enough for every track unless given).
std::string layout(const std::vector<std::string> &entries, uint64_t data = 500000 * FRAME) {
    ChdTrack tracks[MAX_TRACKS];
    int count = 0;
    for (const std::string &e : entries)
        if (!chd_track_parse(reinterpret_cast<const uint8_t *>(e.data()), e.size(), &tracks[count++]))
            return "unparsed: " + e;
    DiscTrack t = {};
    const char *why = nullptr;
    if (!chd_first_data(tracks, count, data, &t, &why)) return std::string("why: ") + (why ? why : "(none)");
    if (t.sector_size != FRAME || t.base % FRAME) return "not on a frame";
    return std::to_string(t.base / FRAME) + " " + std::to_string(t.data_offset) + " @" + std::to_string(t.disc_lba);
}

}  // namespace

TEST(Chd, TheFirstDataTrackWhereverItLies) {
    // chdman from an ISO: one Mode 1 track of 2048-byte sectors, at the start of each frame.
    EXPECT_EQ(layout({cht2(1, "MODE1", 3424)}), "0 0 @0");
    // From BIN+CUE: raw sectors (user data after sync and header), Mode 2 Form 1, 2336-byte Mode 2.
    EXPECT_EQ(layout({cht2(1, "MODE1_RAW", 3424)}), "0 16 @0");
    EXPECT_EQ(layout({cht2(1, "MODE2_RAW", 3424)}), "0 24 @0");
    EXPECT_EQ(layout({cht2(1, "MODE2", 3424)}), "0 8 @0");
    EXPECT_EQ(layout({cht2(1, "MODE2_FORM1", 3424)}), "0 0 @0");
    // Mixed mode: audio first. Each track begins on a multiple of 4 frames among the CHD's frames, on
    // the disc right after the one before.
    EXPECT_EQ(layout({cht2(1, "AUDIO", 300), cht2(2, "MODE1_RAW", 3392)}), "300 16 @300");
    EXPECT_EQ(layout({cht2(1, "AUDIO", 301), cht2(2, "AUDIO", 2), cht2(3, "MODE1_RAW", 10)}), "308 16 @303");
    // A pregap stored in the track ("V" type, as chdman keeps an INDEX 00 of the BIN) comes before the first
    // sector in the frames and on the disc; one that is not stored only on the disc; postgaps on the disc.
    EXPECT_EQ(layout({cht2(1, "AUDIO", 300), cht2(2, "MODE1_RAW", 3574, 150, "VMODE1_RAW")}), "450 16 @450");
    EXPECT_EQ(layout({cht2(1, "AUDIO", 300), cht2(2, "MODE1_RAW", 3424, 150, "MODE1")}), "300 16 @450");
    EXPECT_EQ(layout({cht2(1, "AUDIO", 300, 0, "MODE1", 75), cht2(2, "MODE1", 160, 150, "VAUDIO")}), "450 0 @525");
    // The older list (CHTR) has no gaps; a Mode 2 Form 2 track carries no file system of its own.
    EXPECT_EQ(layout({"TRACK:1 TYPE:AUDIO SUBTYPE:NONE FRAMES:1000", "TRACK:2 TYPE:MODE1 SUBTYPE:RW FRAMES:900"}),
              "1000 0 @1000");
    EXPECT_EQ(layout({cht2(1, "MODE2_FORM2", 100), cht2(2, "MODE2_FORM_MIX", 100)}), "100 8 @100");
}

TEST(Chd, TrackListsThatDoNotHoldTogetherAreRefused) {
    EXPECT_EQ(layout({cht2(1, "AUDIO", 300), cht2(2, "AUDIO", 300)}), "why: the CHD has no data track");
    // A track that reaches beyond the CHD's data, and a stored pregap as long as its track.
    EXPECT_EQ(layout({cht2(1, "AUDIO", 300), cht2(2, "MODE1", 100)}, 399 * FRAME), "why: the CHD's track list is damaged");
    EXPECT_EQ(layout({cht2(1, "MODE1", 150, 150, "VMODE1")}), "why: the CHD has no data track");
    // Entries that are no track: no number, a number beyond 99, frames beyond any CD, a malformed gap.
    ChdTrack t;
    for (std::string bad : {std::string("TYPE:MODE1 FRAMES:10"), std::string("TRACK:100 TYPE:MODE1 FRAMES:10"),
                            std::string("TRACK:0 TYPE:MODE1 FRAMES:10"), std::string("TRACK:1 TYPE:MODE1 FRAMES:999999999"),
                            std::string("TRACK:1 TYPE:MODE1 FRAMES:10 PREGAP:x"), std::string("TRACK:1 TYPE:MODE1 FRAMES:")})
        EXPECT_FALSE(chd_track_parse(reinterpret_cast<const uint8_t *>(bad.data()), bad.size(), &t)) << bad;
    // A key inside another word is not that key (PGTYPE is no TYPE), and the text ends where its bytes do.
    std::string cut = "TRACK:1 PGTYPE:MODE1 FRAMES:12";
    ASSERT_TRUE(chd_track_parse(reinterpret_cast<const uint8_t *>(cut.data()), cut.size() - 1, &t));
    EXPECT_EQ(t.frames, 1u);
    EXPECT_EQ(t.data_offset, -1);
}
