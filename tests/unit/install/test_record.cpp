// The install record: its reader takes only plain relative paths, a removal takes only what it lists
// and never goes through a link, and a roll-back takes back only what the run made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/install.h"
#include "platform/platform.h"
#include "testutil.h"
#include "util/util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

const std::string kHeader = ":Tovek Zarnith install record 1\n";
const std::string kRec = RECORD_NAME;

// The entries a record's text yields, folders with a trailing '\'.
std::vector<std::string> entries(const std::string &text) {
    Record *r = record_parse(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    std::vector<std::string> out;
    for (size_t i = 0; r && i < record_count(r); ++i) {
        int folder = 0;
        std::string path = record_path(r, i, &folder);
        out.push_back(path + (folder ? "\\" : ""));
    }
    record_free(r);
    return out;
}

bool exists(const TempDir &t, const std::string &rel) { return path_exists(t.sub(rel).c_str()); }

}  // namespace

TEST(RecordReader, TakesOnlyPlainRelativePathsFromWholeLines) {
    EXPECT_EQ(entries(kHeader + "zarnith.exe\ngame\\\r\ngame/cd/3DGAME.EXE\n:parents 2\n\xC5\x81\xC3\xB3" "d\xC5\xBA.txt\n"),
              (std::vector<std::string>{"zarnith.exe", "game\\", "game\\cd\\3DGAME.EXE", "\xC5\x81\xC3\xB3" "d\xC5\xBA.txt"}));
    // Whatever leads outside the install folder, or names a device or another name than it spells.
    const char *hostile[] = {"..\\..\\x", "a\\..\\..\\x", "C:\\x", "C:x", "\\x", "\\\\server\\x", "CON", "game\\nul.txt",
                             "a\\.\\b", "a\\\\b", "x:y", "a\\b.", "a\\b ", "...", "a\\b?", "\x01", "\xFF\xFE", ""};
    for (const char *line : hostile) EXPECT_EQ(entries(kHeader + line + "\n"), std::vector<std::string>{}) << line;
    // A cut last line may name another file than was written; a text without the header is no record.
    EXPECT_EQ(entries(kHeader + "game\\cd\\A.DAT\ngame\\cd\\AB"), std::vector<std::string>{"game\\cd\\A.DAT"});
    EXPECT_EQ(entries("zarnith.exe\n"), std::vector<std::string>{});
    EXPECT_EQ(entries(kHeader + std::string(600, 'a') + "\n"), std::vector<std::string>{});
}

TEST(RecordReader, ParentsAndLookupIgnoreLetterCase) {
    std::string text = kHeader + ":parents 3\nGame\\CD\\\n";
    Record *r = record_parse(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(record_parents(r), 3u);
    EXPECT_TRUE(record_lists(r, "game\\cd", 1));
    EXPECT_FALSE(record_lists(r, "game\\cd", 0)) << "a folder entry names no file";
    record_free(r);
    text = kHeader + ":parents 999\n";
    r = record_parse(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    EXPECT_EQ(record_parents(r), 0u) << "more parents than a path has levels";
    record_free(r);
}

TEST(RecordRemoval, TakesWhatIsListedAndLeavesTheUsersFiles) {
    TempDir t;
    std::string dir = t.sub("inst");
    for (const char *f : {"inst\\zarnith.exe", "inst\\game\\cd\\A.DAT", "inst\\game\\hd\\SAVEGAME\\S1.SAV",
                          "inst\\game\\letters\\mine.txt", "inst\\game\\cd\\mine.txt", "inst\\notes.txt"})
        put(t.sub(f), "x");
    put(t.sub("inst\\" + kRec), kHeader + kRec + "\nzarnith.exe\ngame\\cd\\\ngame\\cd\\A.DAT\n"
                                                 "game\\hd\\\nnotes.txt.bak\n..\\outside.txt\n");
    put(t.sub("outside.txt"), "x");
    Record *r = record_load(dir.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(record_remove(dir.c_str(), r), 1);
    record_free(r);
    // The user's folder "game" and everything not listed stay; game\hd goes whole, as it was listed.
    for (const char *kept : {"inst\\game\\letters\\mine.txt", "inst\\game\\cd\\mine.txt", "inst\\notes.txt", "outside.txt"})
        EXPECT_TRUE(exists(t, kept)) << kept;
    for (std::string gone : std::vector<std::string>{"inst\\zarnith.exe", "inst\\game\\cd\\A.DAT", "inst\\game\\hd", "inst\\" + kRec})
        EXPECT_FALSE(exists(t, gone)) << gone;
}

#ifndef _WIN32
TEST(RecordRemoval, NeverGoesThroughALink) {
    TempDir t;
    put(t.sub("elsewhere\\cd\\A.DAT"), "x");
    put(t.sub("elsewhere\\hd\\S1.SAV"), "x");
    put(t.sub("inst\\zarnith.exe"), "x");
    ASSERT_EQ(symlink(t.host("elsewhere").c_str(), t.host("inst/game").c_str()), 0);
    put(t.sub("inst\\" + kRec), kHeader + "zarnith.exe\ngame\\\ngame\\cd\\\ngame\\cd\\A.DAT\ngame\\hd\\\n");
    Record *r = record_load(t.sub("inst").c_str());
    record_remove(t.sub("inst").c_str(), r);
    record_free(r);
    EXPECT_TRUE(exists(t, "elsewhere\\cd\\A.DAT"));
    EXPECT_TRUE(exists(t, "elsewhere\\hd\\S1.SAV"));
    EXPECT_FALSE(exists(t, "inst\\zarnith.exe"));
}
#endif

TEST(RecordRun, RollBackTakesBackOnlyWhatTheRunMade) {
    TempDir t;
    std::string dir = t.sub("inst");
    // An earlier install with its record and a saved game; this run adds files and folders.
    put(t.sub("inst\\game\\hd\\SAVEGAME\\S1.SAV"), "x");
    put(t.sub("inst\\zarnith.exe"), "x");
    std::string earlier_text = kHeader + kRec + "\nzarnith.exe\ngame\\\ngame\\hd\\\n";
    put(t.sub("inst\\" + kRec), earlier_text);
    Record *earlier = record_load(dir.c_str());
    RecordRun *run = record_begin(dir.c_str(), earlier, 0, 0);
    ASSERT_NE(run, nullptr);
    for (const char *rel : {"game\\cd", "game\\cd\\SUB"}) ASSERT_TRUE(record_note(run, rel, 1));
    for (const char *rel : {"game\\cd\\SUB\\B.DAT", "zarnith.exe", "game\\hd\\SAVEGAME\\S1.SAV"}) ASSERT_TRUE(record_note(run, rel, 0));
    ASSERT_TRUE(record_flush(run, 1));
    // Written before anything is made: a kill here leaves a record that names all of it.
    EXPECT_EQ(entries(contents(t.sub("inst\\" + kRec))),
              (std::vector<std::string>{kRec, "zarnith.exe", "game\\", "game\\hd\\", "game\\cd\\", "game\\cd\\SUB\\",
                                        "game\\cd\\SUB\\B.DAT", "game\\hd\\SAVEGAME\\S1.SAV"}));
    put(t.sub("inst\\game\\cd\\SUB\\B.DAT"), "x");
    put(t.sub("inst\\game\\cd\\user.txt"), "x");  // came in meanwhile: keeps its folder
    record_roll_back(run);
    EXPECT_FALSE(exists(t, "inst\\game\\cd\\SUB"));
    for (const char *kept : {"inst\\game\\cd\\user.txt", "inst\\zarnith.exe", "inst\\game\\hd\\SAVEGAME\\S1.SAV"})
        EXPECT_TRUE(exists(t, kept)) << kept;
    EXPECT_EQ(contents(t.sub("inst\\" + kRec)), earlier_text) << "the earlier record is put back as it was";
    record_free(earlier);

    // A first install into a folder it made: nothing of it stays, the folder and its new parent neither.
    std::string fresh = t.sub("new\\inst");
    ASSERT_TRUE(make_dirs(fresh.c_str()));
    run = record_begin(fresh.c_str(), nullptr, 1, 1);
    ASSERT_TRUE(run && record_note(run, "zarnith.exe", 0) && record_flush(run, 1));
    put(t.sub("new\\inst\\zarnith.exe"), "x");
    record_roll_back(run);
    EXPECT_FALSE(exists(t, "new"));
}
