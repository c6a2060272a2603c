// The install folder's form and the path arithmetic of the checks before an install.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "cdsrc/cdsrc.h"
#include "install/install.h"
#include "testutil.h"
#include "util/util.h"

TEST(FolderForm, FullPathsBelowARootOnly) {
    char out[PATH_BUF];
    struct Case {
        const char *dir;
        int form;
    } cases[] = {
        {"C:\\Games\\Tovek Zarnith PC", FOLDER_OK},
        {"c:/games/tz", FOLDER_OK},
        {"\\\\server\\share\\Games", FOLDER_OK},
        {"C:\\", FOLDER_ROOT},
        {"C:", FOLDER_ROOT},
        {"C:\\\\\\", FOLDER_ROOT},
        {"\\\\server\\share", FOLDER_ROOT},
        {"\\\\server\\share\\", FOLDER_ROOT},
        {"", FOLDER_NOT_FULL},
        {"TZ", FOLDER_NOT_FULL},
        {"Games\\Tovek", FOLDER_NOT_FULL},
        {"C:Games", FOLDER_NOT_FULL},
        {"\\Games\\TZ", FOLDER_NOT_FULL},
        {"\\\\server", FOLDER_NOT_FULL},
        {"C:\\Games\\..\\TZ", FOLDER_DOTS},
        {"C:\\Games\\.", FOLDER_DOTS},
        {"C:\\Games\\. .\\TZ", FOLDER_DOTS},
        {"C:\\Games\\TZ ", FOLDER_TRAILING},
        {"C:\\Games.\\TZ", FOLDER_TRAILING},
        {"C:\\Games\\CON", FOLDER_BAD_NAME},
        {"C:\\nul.txt\\TZ", FOLDER_BAD_NAME},
        {"C:\\Games\\T<Z>", FOLDER_BAD_NAME},
        {"C:\\Games\\a:b", FOLDER_BAD_NAME},
        {"C:\\Games\\TZ?", FOLDER_BAD_NAME},
        {"C:\\Gam\x01es", FOLDER_BAD_NAME},
        {"C:\\Games\\Tovek Zarnith \xC5\x81\xC3\xB3" "d\xC5\xBA", FOLDER_OK},
    };
    for (const Case &c : cases) EXPECT_EQ(folder_form(c.dir, out), c.form) << "'" << c.dir << "'";
    ASSERT_EQ(folder_form("C:\\Games\\TZ\\\\", out), FOLDER_OK);
    EXPECT_STREQ(out, "C:\\Games\\TZ") << "trailing separators are dropped";
    EXPECT_EQ(folder_form(("C:\\" + std::string(600, 'a')).c_str(), out), FOLDER_TOO_LONG);
}

TEST(PathInside, PartByPartIgnoringCaseAndSeparators) {
    EXPECT_EQ(path_inside("C:\\CD\\inst", "C:\\CD"), 1);
    EXPECT_EQ(path_inside("C:\\CD", "C:\\CD"), 1);
    EXPECT_EQ(path_inside("c:/cd//Inst/", "C:\\CD\\"), 1);
    EXPECT_EQ(path_inside("C:\\Games\\TZ\\game\\cd\\VELTRIS", "C:\\Games\\TZ\\game\\cd"), 1);
    EXPECT_EQ(path_inside("C:\\CD2", "C:\\CD"), 0) << "a longer name is another folder";
    EXPECT_EQ(path_inside("C:\\C", "C:\\CD"), 0);
    EXPECT_EQ(path_inside("C:\\", "C:\\CD"), 0) << "the parent is not inside its child";
    EXPECT_EQ(path_inside("D:\\CD\\x", "C:\\CD"), 0);
}

TEST(DeepestInstallPath, TheCdCopyOrTheSetupsOwnFiles) {
    // "<dir>\game\cd\" and the CD's longest relative path.
    EXPECT_EQ(deepest_install_path("C:\\TZ", 100), 5u + 9u + 100u);
    // A CD of short names: the sound banks in game\hd are the deepest ("\game\hd\SOUND\INTERFAC.ASL").
    EXPECT_EQ(deepest_install_path("C:\\TZ", 3), 5u + 27u);
    EXPECT_EQ(MAX_PATH_CHARS, 259u);
    // Windows counts UTF-16 units, not the bytes of the UTF-8 code page: "Игры" is four, an emoji two.
    EXPECT_EQ(deepest_install_path("C:\\\xd0\x98\xd0\xb3\xd1\x80\xd1\x8b", 100), 7u + 9u + 100u);
    EXPECT_EQ(utf16_units("\xf0\x9f\x8e\xae" "a\xc5\x81"), 4u);
}

TEST(BrowseTarget, AppendsTheGamesFolderUnlessItIsThereOrHoldsAnInstall) {
    char out[PATH_BUF];
    const char *cases[][2] = {{"D:\\Games", "D:\\Games\\Tovek Zarnith PC"},
                              {"D:\\Games\\", "D:\\Games\\Tovek Zarnith PC"},
                              {"D:\\", "D:\\Tovek Zarnith PC"},
                              {"D:\\Games\\tovek zarnith pc", "D:\\Games\\tovek zarnith pc"},
                              {"D:\\Tovek Zarnith PC 2", "D:\\Tovek Zarnith PC 2\\Tovek Zarnith PC"}};
    for (const auto &c : cases) {
        browse_target(c[0], out);
        EXPECT_STREQ(out, c[1]) << c[0];
    }
    // A folder that holds the game already is the install to repair or replace.
    TempDir t;
    put(t.sub("TZ\\zarnith.exe"), "x");
    browse_target(t.sub("TZ").c_str(), out);
    EXPECT_EQ(std::string(out), t.sub("TZ"));
}

// Whatever an install would write that stands in its way is refused before anything is written, with
// one line that names it; what the folder's record names is the install's own.
TEST(CheckTargets, RefusesWhatIsInTheWayAndNamesIt) {
    struct Case {
        const char *put;  // a file to make in the install folder
        const char *line; // the end of the one line
    } cases[] = {{"zarnith.exe\\x", "zarnith.exe is a folder where the install must write a file: choose another folder"},
                 {"uninstall.exe", "uninstall.exe belongs to another program: choose another folder"},
                 {"zarnith.ico", "zarnith.ico belongs to another program: choose another folder"},
                 {"game", "game is a file where the install must make a folder: choose another folder"},
                 {"game\\cd\\README.TXT", "cd belongs to another program: choose another folder"}};
    for (const Case &c : cases) {
        TempDir t;
        put(t.sub(c.put), "x");
        LogCapture log;
        EXPECT_EQ(check_targets(t.path().c_str(), nullptr), 0) << c.put;
        ASSERT_EQ(log.lines().size(), 1u) << c.put;
        EXPECT_EQ(log.lines()[0].substr(0, 7), "ERROR: ");
        EXPECT_EQ(log.lines()[0].substr(log.lines()[0].size() - strlen(c.line)), c.line) << c.put;
    }
    TempDir t;
    put(t.sub("uninstall.exe"), "x");
    put(t.sub("zarnith.ico"), "x");
    put(t.sub("game\\cd\\README.TXT"), "x");
    put(t.sub(RECORD_NAME), ":Tovek Zarnith install record 1\nuninstall.exe\nzarnith.ico\ngame\\\ngame\\cd\\\ngame\\hd\\\n");
    Record *r = record_load(t.path().c_str());
    EXPECT_EQ(check_targets(t.path().c_str(), r), 1) << "the record names them: the install's own";
    put(t.sub("game\\hd\\GAME.CFG\\x"), "x");
    EXPECT_EQ(check_targets(t.path().c_str(), r), 0) << "a folder where the configuration goes";
    record_free(r);
#ifndef _WIN32
    TempDir l;
    put(l.sub("elsewhere.txt"), "x");
    ASSERT_EQ(symlink(l.host("elsewhere.txt").c_str(), l.host("zarnith.exe").c_str()), 0);
    LogCapture log;
    EXPECT_EQ(check_targets(l.path().c_str(), nullptr), 0);
    EXPECT_NE(log.text().find("zarnith.exe is a link to somewhere else"), std::string::npos) << log.text();
#endif
}

TEST(SameGameCd, OnlyTheGameCdThatWasBeingCopiedGoesOn) {
    TempDir t;
    for (const char *m : {"3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS/INTRO.DAT"}) put(t.host(std::string("cd/") + m), "x");
    CdSrc *s = cd_open(t.sub("cd").c_str());
    ASSERT_NE(s, nullptr);
    CdIdentity was;
    cd_identity(s, &was);
    EXPECT_EQ(same_game_cd(s, &was), 1);
    // Another disc in the drive: it lacks the game's marker files.
    std::filesystem::rename(t.host("cd/MCP.EXE"), t.host("MCP.EXE"));
    EXPECT_EQ(same_game_cd(s, &was), 0);
    std::filesystem::rename(t.host("MCP.EXE"), t.host("cd/MCP.EXE"));
    EXPECT_EQ(same_game_cd(s, &was), 1);
    // The game CD, but on another volume than the one the copy began with.
    CdIdentity other = was;
    other.known = 1;
    other.serial = was.serial + 1;
    EXPECT_EQ(same_game_cd(s, &other), 0);
    cd_close(s);
}
