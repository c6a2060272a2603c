// The player's language: the catalogues against the code's English texts, the choice of a language and
// the line translator that the window shows log lines through.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "util/lang.h"
#include "testutil.h"

namespace {

const char *const CODES[] = {"de", "fr", "es", "it", "pt", "pl", "cs", "ru", "uk", "ja", "zh"};

// Each test starts and ends in English, as a process does.
class Lang : public ::testing::Test {
  protected:
    void SetUp() override { lang_choose_code("en"); }
    void TearDown() override { lang_choose_code("en"); }
};

int has_word(const std::string &s) {
    for (size_t i = 0; i + 1 < s.size(); ++i)
        if (isalpha(static_cast<unsigned char>(s[i])) && isalpha(static_cast<unsigned char>(s[i + 1]))) return 1;
    return 0;
}

// The text a C string literal's body stands for (the escapes the code uses).
std::string unescape(const std::string &body) {
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 == body.size()) {
            out += body[i];
            continue;
        }
        char c = body[++i];
        if (c == 'n') out += '\n';
        else if (c == 't') out += '\t';
        else if (c == '0') out += '\0';
        else if (c == 'x') {
            size_t used = 0;
            out += static_cast<char>(std::stoi(body.substr(i + 1, 2), &used, 16));
            i += used;
        } else out += c;
    }
    return out;
}

// The English texts that the code shows: every string literal with a word in it inside the arguments of
// a call that logs or shows a text, or of the mark N_ (adjacent literals joined, as the compiler does).
std::set<std::string> shown_texts(const std::string &code) {
    static const std::set<std::string> showing = {"setup_log", "fail", "log_failure", "tr", "N_",
                                                  "ui",        "set_text", "box"};
    std::set<std::string> found;
    std::vector<int> calls;  // the parenthesis depth at which each open showing call began
    int depth = 0;
    std::string ident, literal;
    int in_literal = 0;
    auto end_literal = [&] {
        if (in_literal && !calls.empty() && has_word(literal)) found.insert(unescape(literal));
        in_literal = 0;
        literal.clear();
    };
    for (size_t i = 0; i < code.size();) {
        char c = code[i];
        if (code.compare(i, 2, "//") == 0 || (c == '#' && (i == 0 || code[i - 1] == '\n'))) {
            while (i < code.size() && code[i] != '\n') i += code[i] == '\\' && code[i + 1] == '\n' ? 2 : 1;
        } else if (code.compare(i, 2, "/*") == 0) {
            i = code.find("*/", i + 2) + 2;
        } else if (c == '"') {
            size_t j = i + 1;
            while (code[j] != '"') j += code[j] == '\\' ? 2 : 1;
            literal += code.substr(i + 1, j - i - 1);
            in_literal = 1;
            i = j + 1;
        } else if (isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else {
            end_literal();
            if (c == '\'') {
                i = code.find('\'', i + (code[i + 1] == '\\' ? 3 : 2)) + 1;
            } else if (isalnum(static_cast<unsigned char>(c)) || c == '_') {
                size_t j = i;
                while (j < code.size() && (isalnum(static_cast<unsigned char>(code[j])) || code[j] == '_')) ++j;
                ident = code.substr(i, j - i);
                i = j;
                continue;
            } else {
                if (c == '(' && showing.count(ident)) calls.push_back(depth);
                if (c == '(') ++depth;
                if (c == ')' && --depth == (calls.empty() ? -1 : calls.back())) calls.pop_back();
                ++i;
            }
            ident.clear();
        }
    }
    return found;
}

std::set<std::string> source_texts() {
    std::set<std::string> all;
    for (const auto &e : std::filesystem::recursive_directory_iterator(std::string(ZARNITH_SOURCE_DIR) + "/src")) {
        std::string ext = e.path().extension().string();
        if (ext != ".cpp" && ext != ".h") continue;
        std::set<std::string> one = shown_texts(contents(e.path().string()));
        all.insert(one.begin(), one.end());
    }
    return all;
}

// The conversions of a text in order ("%s %lu"); "?" for one the line translator does not know.
std::string conversions(const char *t) {
    std::string out;
    for (const char *p = t; (p = strchr(p, '%'));) {
        size_t n = 1 + strspn(p + 1, "l");
        std::string c(p, n + 1);
        out += (c == "%s" || c == "%d" || c == "%u" || c == "%lu" || c == "%llu") ? c + " " : "? ";
        p += n + (p[n] ? 1 : 0);
    }
    return out;
}

const Language *language(const char *code) {
    size_t n;
    const Language *all = lang_all(&n);
    for (size_t i = 0; i < n; ++i)
        if (strcmp(all[i].code, code) == 0) return &all[i];
    return nullptr;
}

std::string line_in(const char *code, const char *line) {
    lang_choose_code(code);
    char out[3 * LOG_BUF];
    tr_line(line, out, sizeof out);
    return out;
}

}  // namespace

TEST_F(Lang, EveryTextTheCodeShowsIsInEveryCatalogueAndNoneIsStale) {
    ASSERT_FALSE(contents(std::string(ZARNITH_SOURCE_DIR) + "/src/util/lang.cpp").empty()) << "no sources to scan";
    std::set<std::string> shown = source_texts();
    ASSERT_GT(shown.size(), 100u) << "the scan finds the texts no longer";
    for (const char *code : CODES) {
        const Language *l = language(code);
        ASSERT_TRUE(l) << code << ": no catalogue";
        std::set<std::string> keys;
        for (size_t i = 0; i < l->count; ++i) keys.insert(l->texts[i].english);
        for (const std::string &t : shown) EXPECT_TRUE(keys.count(t)) << code << ": the code shows \"" << t << "\" untranslated";
        for (const std::string &k : keys)
            EXPECT_TRUE(shown.count(k) || !has_word(k)) << code << ": \"" << k << "\" is no text of the code";
    }
}

TEST_F(Lang, TranslationsKeepTheConversionsInOrderAndTheCataloguesTheirOrder) {
    size_t n;
    lang_all(&n);
    ASSERT_EQ(n, sizeof CODES / sizeof CODES[0]);
    const Language *de = language("de");
    for (const char *code : CODES) {
        const Language *l = language(code);
        ASSERT_TRUE(l) << code;
        ASSERT_EQ(l->count, de->count) << code << ": not as many texts as the German catalogue";
        for (size_t i = 0; i < l->count; ++i) {
            const LangText &t = l->texts[i];
            EXPECT_STREQ(t.english, de->texts[i].english) << code << ": text " << i << " out of order";
            EXPECT_NE(t.text[0], '\0') << code << ": empty translation of \"" << t.english << "\"";
            EXPECT_EQ(conversions(t.text), conversions(t.english)) << code << ": \"" << t.text << "\"";
            EXPECT_TRUE(utf8_valid(t.text, strlen(t.text))) << code << ": not UTF-8: " << t.english;
        }
    }
}

TEST_F(Lang, NoTwoTextsOfOneWindowShareATranslation) {
    const std::vector<std::vector<const char *>> windows = {
        {"CD:", "Install to:", "Image...", "Folder...", "Browse...", "Start menu shortcut", "Desktop shortcut",
         "Install", "Play", "Cancel", "Close"},
        {"Ready. About 500 MB of free space is needed.", "Installing...", "Stopping the installation...",
         "Tovek Zarnith is installed.", "The installation did not finish - see the messages above."},
        {"Tovek Zarnith CD (drive or folder)", "Install folder", "Tovek Zarnith CD", "Tovek Zarnith setup",
         "Tovek Zarnith uninstall"},
    };
    for (const char *code : CODES) {
        lang_choose_code(code);
        for (const auto &texts : windows) {
            std::map<std::string, const char *> seen;
            for (const char *t : texts) {
                auto at = seen.emplace(tr(t), t);
                EXPECT_TRUE(at.second) << code << ": \"" << t << "\" and \"" << at.first->second << "\" both read \""
                                       << tr(t) << "\"";
            }
        }
    }
}

TEST_F(Lang, TheDisplayLanguageOrTheSwitchChoosesTheCatalogue) {
    const struct {
        uint16_t langid;
        const char *code;
    } ui[] = {{0x0407, "de"}, {0x0807, "de"}, {0x0416, "pt"}, {0x0816, "pt"}, {0x0804, "zh"}, {0x1004, "zh"},
              {0x0404, "en"}, {0x0C04, "en"}, {0x0409, "en"}, {0x0419, "ru"}, {0x0422, "uk"}, {0x0411, "ja"},
              {0x040B, "en"}, {0x0405, "cs"}};
    for (const auto &c : ui) {
        EXPECT_EQ(lang_choose_ui(c.langid), strcmp(c.code, "en") != 0) << std::hex << c.langid;
        EXPECT_STREQ(lang_code(), c.code) << std::hex << c.langid;
    }
    EXPECT_EQ(lang_choose_code("PL"), 1);
    EXPECT_STREQ(lang_code(), "pl");
    EXPECT_EQ(lang_choose_code("en"), 1);
    EXPECT_STREQ(lang_code(), "en");
    lang_choose_code("de");
    EXPECT_EQ(lang_choose_code("xx"), 0);
    EXPECT_STREQ(lang_code(), "en") << "an unknown code must mean English";
    EXPECT_EQ(lang_choose_code(""), 0);
    const char *text = "Cancel";
    EXPECT_EQ(tr(text), text) << "English is the text itself";
    lang_choose_code("de");
    EXPECT_STREQ(tr("Cancel"), "Abbrechen");
    EXPECT_STREQ(tr("no text of the catalogue"), "no text of the catalogue");
}

TEST_F(Lang, LogLinesAreShownTranslatedWithTheirArguments) {
    // Nested: the argument of "ERROR: %s" is a line of its own, and so is the CD's description.
    EXPECT_EQ(line_in("de", "ERROR: cannot read D:\\A.DAT"), "FEHLER: D:\\A.DAT kann nicht gelesen werden");
    EXPECT_EQ(line_in("de", "Copying image C:\\Spiele\\x y.iso ..."), "Abbild C:\\Spiele\\x y.iso wird kopiert ...");
    EXPECT_EQ(line_in("de", "defaults: cd '' dir 'C:\\Games\\Tovek Zarnith PC'"),
              "Voreinstellungen: CD „“, Ordner „C:\\Games\\Tovek Zarnith PC“");
    // The most specific text wins ("cannot write %s (%s)" over "cannot write %s"), and its cause is
    // translated too; a %s runs past a colon that is no part of the text (backtracking).
    EXPECT_EQ(line_in("de", "cannot write C:\\TZ\\A.DAT (error 5: Access is denied.)"),
              "C:\\TZ\\A.DAT kann nicht geschrieben werden (Fehler 5: Access is denied.)");
    EXPECT_EQ(line_in("de", "C:\\Images\\game.cue: the file is empty"), "C:\\Images\\game.cue: die Datei ist leer");
    EXPECT_EQ(line_in("de", "Rolled back: removed 12 files and 3 folders that this installation had made"),
              "Zurückgenommen: 12 Dateien und 3 Ordner entfernt, die diese Installation angelegt hatte");
    EXPECT_EQ(line_in("de", "X: the sheet has no data track"), "X: die Beschreibungsdatei enthält keine Datenspur");
    // Digits only where the text has a number; a line of no text stays as it is, and English changes nothing.
    EXPECT_EQ(line_in("de", "Carried 2x saved-game files from C:\\Old"), "2x saved-game files aus C:\\Old übernommen");
    EXPECT_EQ(line_in("de", "zarnith.exe started"), "zarnith.exe started");
    EXPECT_EQ(line_in("en", "ERROR: cannot read D:\\A.DAT"), "ERROR: cannot read D:\\A.DAT");
    // A line cut to the room keeps its start.
    lang_choose_code("de");
    char small[8];
    EXPECT_EQ(tr_line("Done.", small, sizeof small), 7u);
    EXPECT_STREQ(small, "Fertig.");
    // The wide functions get UTF-16: a character beyond U+FFFF as a pair (kept whole or left out), a
    // stray byte as U+FFFD.
    uint16_t wide[16];
    EXPECT_EQ(tr_utf16("Close", wide, 16), 9u);
    EXPECT_EQ(wide[6], 0x00DF);  // the ß of "Schließen"
    EXPECT_EQ(utf8_to_utf16("a\xF0\x9F\x98\x80\xFF", wide, 16), 4u);
    EXPECT_EQ(std::vector<uint16_t>(wide, wide + 5), (std::vector<uint16_t>{'a', 0xD83D, 0xDE00, 0xFFFD, 0}));
    EXPECT_EQ(utf8_to_utf16("a\xF0\x9F\x98\x80", wide, 3), 1u);
}
