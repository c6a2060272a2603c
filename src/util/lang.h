// lang (module util): the player's language for everything the setup shows: one catalogue per language
// (lang/<code>.inc, UTF-8), keyed by the English text exactly as the code writes it. English is the
// default and needs no catalogue. The log file keeps its English lines; the window translates each line
// as it shows it, so no caller of setup_log changes. Pure text: the language is chosen once at start-up,
// before any thread or window exists; nothing here calls Windows.
// Files: lang.cpp (the choice, the lookup and the line translator), lang/*.inc (the catalogues).
#pragma once
#include <cstddef>
#include <cstdint>

#include "util/fmt.h"

// One text of a catalogue: the English text and its translation.
struct LangText {
    const char *english;
    const char *text;
};
// A language besides English: its switch code ("de") and its catalogue.
struct Language {
    const char *code;
    const LangText *texts;
    size_t count;
};
// The eleven languages besides English, in a fixed order; *count receives their number.
const Language *lang_all(size_t *count);

// Chooses the language of a Windows display language (a LANGID such as 0x0407), by its primary language;
// Portuguese of any region takes the Brazilian texts, Chinese only the Simplified (China, Singapore).
// 1 when a catalogue was chosen, 0 when the setup speaks English.
int lang_choose_ui(uint16_t langid);
// Chooses the language of a "/lang" code (de, fr, es, it, pt, pl, cs, ru, uk, ja, zh, en; any letter
// case). 1 for a known code; 0 for any other, which means English.
int lang_choose_code(const char *code);
// The chosen language's code: "en" until another is chosen.
const char *lang_code();

// The translation (UTF-8) of an English text of the catalogue; the text itself when it has none.
#if defined(__GNUC__)
__attribute__((format_arg(1)))
#endif
const char *tr(const char *english);
// Translates a line formatted in English: the catalogue text whose literal parts equal the line's and
// whose conversions (%s %d %u %lu %llu) match the texts between them, the one with the most literal
// text when several do, rendered in translation with the same argument texts in the same order; an
// argument that is itself a catalogue line is translated too ("ERROR: %s" around "cannot read %s").
// A line that matches nothing is copied as it is. Writes at most cap bytes with the NUL into out; the
// length of the result.
size_t tr_line(const char *line, char *out, size_t cap);
// tr_line for a line in the process's code page (paths, composed messages), written as UTF-16 units for
// the wide functions, cut at cap units with the NUL. The count of units without the NUL.
size_t tr_utf16(const char *line, uint16_t *out, size_t cap);

#ifdef _WIN32
// A text as the player reads it, for the wide functions: SetWindowTextW(c, ui("Cancel").s).
struct UiText {
    wchar_t s[2 * LOG_BUF];
};
static_assert(sizeof(wchar_t) == sizeof(uint16_t), "UTF-16 units");
inline UiText ui(const char *text) {
    UiText t;
    tr_utf16(text, reinterpret_cast<uint16_t *>(t.s), 2 * LOG_BUF);
    return t;
}
#endif
