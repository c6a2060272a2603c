// The front end's command line: a name the code page cannot hold exactly is refused, never replaced
// by a look-alike that names another folder, and every argument it does not understand is named.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/lang.h"
#include "setup/setup.h"
#include "testutil.h"

#ifdef _WIN32
#include <windows.h>

TEST(WideToCodePage, RefusesLookAlikesAndDefaultsAndKeepsExactNames) {
    char out[32];
    // Western code page: "Café" exists in it byte for byte.
    ASSERT_EQ(wide_to_code_page(1252, L"C:\\Caf\u00e9", out, sizeof out), 1);
    EXPECT_STREQ(out, "C:\\Caf\xe9");
    // Best-fit would make "Łódź" into "Lódz" and install into that other folder; Cyrillic and CJK
    // would become "?" (a wildcard, not even a name).
    const wchar_t *foreign[] = {L"C:\\Gry\\\u0141\u00f3d\u017a", L"C:\\\u0418\u0433\u0440\u044b",
                                L"C:\\\u6e38\u620f"};
    for (const wchar_t *w : foreign) {
        memset(out, 'x', sizeof out);
        EXPECT_EQ(wide_to_code_page(1252, w, out, sizeof out), 0) << "a look-alike name was accepted";
        EXPECT_STREQ(out, "") << "a refused name must not leave a usable path behind";
    }
    // UTF-8 holds them all, byte-exact.
    ASSERT_EQ(wide_to_code_page(CP_UTF8, L"C:\\Gry\\\u0141\u00f3d\u017a", out, sizeof out), 1);
    EXPECT_STREQ(out, "C:\\Gry\\\xc5\x81\xc3\xb3" "d\xc5\xba");
    ASSERT_EQ(wide_to_code_page(CP_UTF8, L"\u6e38\u620f", out, sizeof out), 1);
    EXPECT_STREQ(out, "\xe6\xb8\xb8\xe6\x88\x8f");
    // A lone surrogate has no UTF-8 form (it would become U+FFFD).
    const wchar_t lone[] = {L'A', 0xD800, L'B', 0};
    EXPECT_EQ(wide_to_code_page(CP_UTF8, lone, out, sizeof out), 0);
    // A name that does not fit is refused rather than cut into the name of its parent folder.
    EXPECT_EQ(wide_to_code_page(1252, L"C:\\Games\\Tovek", out, 9), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(wide_to_code_page(CP_UTF8, L"\u0141\u0141\u0141\u0141", out, 8), 0);
    EXPECT_EQ(wide_to_code_page(1252, L"", out, 1), 1);
    EXPECT_EQ(wide_to_code_page(1252, L"A", out, 0), 0);
}

// The log's lines of apply_options on the arguments (after the program's name), and its result.
static std::vector<std::string> options_said(std::vector<std::string> args, int *understood) {
    std::vector<char *> argv{const_cast<char *>("setup.exe")};
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    LogCapture log;
    *understood = apply_options(static_cast<int>(argv.size()) - 1, argv.data());
    silent = 0;
    return log.lines();
}

// The language that choose_language takes from the arguments (after the program's name).
static std::string language_of(std::vector<std::string> args) {
    std::vector<char *> argv{const_cast<char *>("setup.exe")};
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    choose_language(static_cast<int>(argv.size()) - 1, argv.data());
    std::string code = lang_code();
    lang_choose_code("en");
    return code;
}

TEST(ChooseLanguage, TheLastLangSwitchWinsAndAMissingCodeMeansEnglish) {
    EXPECT_EQ(language_of({"/silent", "/LANG", "Pl"}), "pl");
    EXPECT_EQ(language_of({"/lang", "de", "/dir", "C:\\TZ", "/lang", "ru"}), "ru");
    EXPECT_EQ(language_of({"/lang", "de", "/lang"}), "en");
    EXPECT_EQ(language_of({"/lang", "/dir", "C:\\TZ"}), "en") << "the code is the next argument, whatever it is";
    EXPECT_EQ(language_of({"/dir", "/lang", "/lang", "de"}), "de") << "a folder named /lang is a value";
}

TEST(HasSwitch, TheValueOfASwitchIsNeverASwitch) {
    const struct {
        std::vector<std::string> args;
        int index;  // of /silent
    } cases[] = {
        {{"/cd", "/silent"}, 0}, {{"/DIR", "/silent", "/lang", "/silent"}, 0},
        {{"/dir", "C:\\TZ", "/Silent"}, 3}, {{"/uninstall2", "/silent", "/silent"}, 3},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        std::vector<char *> argv{const_cast<char *>("setup.exe")};
        for (std::string &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        EXPECT_EQ(switch_index(static_cast<int>(argv.size()) - 1, argv.data(), "/silent"), c.index) << c.args[0];
    }
}

static std::string not_understood(const std::string &arg) {
    return "ERROR: '" + arg + "' is neither a switch nor an existing path: a path with spaces needs double quotes "
           "around it, and the switches are /silent, /cd, /dir, /nodesktop and /nostartmenu";
}

TEST(ApplyOptions, NamesEachArgumentItDoesNotUnderstand) {
    TempDir t;
    put(t.sub("cd\\GAME.CFG"), "x");
    int understood = 0;
    // Every switch in any case, values that look like anything, a bare existing path (a dropped CD).
    EXPECT_TRUE(options_said({"/SILENT", "/cd", "/nodesktop", "/Dir", "C:\\Games\\My TZ", "/quiet", "/Uninstall",
                              "/LANG", "xx", t.sub("cd"), "/NOSTARTMENU", "/uninstall2", "/dir"},
                             &understood)
                    .empty());
    EXPECT_EQ(understood, 1);
    // An unquoted path with a space, a mistyped switch (its value names nothing either), an empty word.
    const std::vector<std::string> wrong[][2] = {
        {{"/cd", t.sub("cd"), "/dir", "C:\\Games\\My", "TZ"}, {not_understood("TZ")}},
        {{"/dri", "C:\\Games\\TZ", "/silent"}, {not_understood("/dri"), not_understood("C:\\Games\\TZ")}},
        {{"", t.sub("missing")}, {not_understood(""), not_understood(t.sub("missing"))}},
    };
    for (const auto &w : wrong) {
        EXPECT_EQ(options_said(w[0], &understood), w[1]);
        EXPECT_EQ(understood, 0) << w[1][0];
    }
}
#endif
