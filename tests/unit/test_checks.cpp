// The install folder's form and the path arithmetic of the checks before an install.
#include <gtest/gtest.h>

#include <string>

#include "install.h"
#include "testutil.h"
#include "util.h"

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
