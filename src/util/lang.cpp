// The player's language: the catalogues, the choice of one, the lookup of a text and the line
// translator that turns a log line formatted in English into the chosen language.
#include "util/lang.h"

#include <cstdlib>
#include <cstring>

#include "LzmaDec.h"
#include "platform/platform.h"

// Each catalogue (lang/<code>.inc) lists the English texts in one order, each line {"<English>",
// "<translation>"}. They are packed with LZMA at build time (cmake/pack_catalogues.py, the English texts
// once, then the translations in the order of `languages`), which takes a sixth of their room in setup.exe. Unpacked at the first choice of a language
// other than English (or by lang_all), which happens once at start-up, before any thread exists.
#include "catalogues.inc"

static Language languages[] = {{"de", nullptr, 0}, {"fr", nullptr, 0}, {"es", nullptr, 0}, {"it", nullptr, 0},
                               {"pt", nullptr, 0}, {"pl", nullptr, 0}, {"cs", nullptr, 0}, {"ru", nullptr, 0},
                               {"uk", nullptr, 0}, {"ja", nullptr, 0}, {"zh", nullptr, 0}};
constexpr size_t LANGUAGES = sizeof languages / sizeof languages[0];
static_assert(CATALOGUES == LANGUAGES, "a packed catalogue for every language");
static const uint16_t primaries[LANGUAGES] = {0x07, 0x0C, 0x0A, 0x10, 0x16, 0x15, 0x05, 0x19, 0x22, 0x11, 0x04};
constexpr uint16_t LANG_ZH = 0x04, SUBLANG_ZH_SIMPLIFIED = 0x02, SUBLANG_ZH_SINGAPORE = 0x04;

static void *lzma_alloc(ISzAllocPtr, size_t size) { return malloc(size); }
static void lzma_free(ISzAllocPtr, void *p) { free(p); }

// 1 when the catalogues are unpacked (they stay for the life of the process); 0 without memory for them,
// and the setup speaks English.
static int unpack() {
    static char *blob;
    if (blob) return 1;
    static const ISzAlloc heap = {lzma_alloc, lzma_free};
    char *data = static_cast<char *>(malloc(UNPACKED_SIZE));
    LangText *texts = static_cast<LangText *>(malloc(sizeof(LangText) * TEXTS * LANGUAGES));
    SizeT size = UNPACKED_SIZE, in = sizeof packed - LZMA_PROPS_SIZE;
    ELzmaStatus status;
    if (!data || !texts ||
        LzmaDecode(reinterpret_cast<Byte *>(data), &size, packed + LZMA_PROPS_SIZE, &in, packed, LZMA_PROPS_SIZE,
                   LZMA_FINISH_END, &status, &heap) != SZ_OK ||
        size != UNPACKED_SIZE) {
        free(data);
        free(texts);
        return 0;
    }
    const char *p = data;
    for (unsigned short k = 0; k < TEXTS; ++k, p += strlen(p) + 1)
        for (size_t i = 0; i < LANGUAGES; ++i) texts[i * TEXTS + k].english = p;
    for (size_t i = 0; i < LANGUAGES; ++i) {
        languages[i].texts = texts + i * TEXTS;
        languages[i].count = TEXTS;
        for (unsigned short k = 0; k < TEXTS; ++k, p += strlen(p) + 1) texts[i * TEXTS + k].text = p;
    }
    blob = data;
    return 1;
}

static const Language *current;  // none: English

const Language *lang_all(size_t *count) {
    *count = unpack() ? LANGUAGES : 0;
    return languages;
}

int lang_choose_ui(uint16_t langid) {
    uint16_t primary = langid & 0x3FF, sub = langid >> 10;
    current = nullptr;
    // Traditional Chinese reads the Simplified characters poorly: English serves it better.
    if (primary == LANG_ZH && sub != SUBLANG_ZH_SIMPLIFIED && sub != SUBLANG_ZH_SINGAPORE) return 0;
    for (size_t i = 0; i < LANGUAGES; ++i)
        if (primaries[i] == primary) current = &languages[i];
    if (current && !unpack()) current = nullptr;
    return current ? 1 : 0;
}

int lang_choose_code(const char *code) {
    current = nullptr;
    for (size_t i = 0; i < LANGUAGES; ++i)
        if (ascii_equal(code, languages[i].code)) current = &languages[i];
    int known = current || ascii_equal(code, "en");
    if (current && !unpack()) current = nullptr;
    return known ? 1 : 0;
}

const char *lang_code() { return current ? current->code : "en"; }

const char *tr(const char *english) {
    if (current)
        for (size_t i = 0; i < current->count; ++i)
            if (strcmp(current->texts[i].english, english) == 0) return current->texts[i].text;
    return english;
}

// ---------------------------------------------------------------------------------------------------
// The line translator

// The conversion at f (a '%' there, never "%%"): its length; *kind receives its letter (s, d, u).
static size_t conversion(const char *f, char *kind) {
    size_t n = 1;
    while (f[n] == 'l') ++n;
    *kind = f[n];
    return f[n] ? n + 1 : n;
}

// The characters of a catalogue text that are not conversions: how specific it is.
static size_t literal_length(const char *f) {
    size_t n = 0;
    char kind;
    while (*f) {
        if (*f == '%' && f[1] != '%') {
            f += conversion(f, &kind);
        } else {
            f += *f == '%' ? 2 : 1;
            ++n;
        }
    }
    return n;
}

constexpr int MAX_ARGS = 8;
struct Match {
    const char *at[MAX_ARGS];
    size_t len[MAX_ARGS];
    char kind[MAX_ARGS];
    int count;
};

// 1 when the text s..end is the format f with its conversions filled in; m receives the argument texts.
// A %s takes the fewest characters that let the rest match; digits take all there are.
static int match(const char *f, const char *s, const char *end, Match *m) {
    for (;;) {
        if (!*f) return s == end;
        if (*f != '%' || f[1] == '%') {
            if (s == end || *s != *f) return 0;
            f += *f == '%' ? 2 : 1;
            ++s;
            continue;
        }
        char kind;
        const char *rest = f + conversion(f, &kind);
        if (m->count == MAX_ARGS) return 0;
        int k = m->count++;
        m->at[k] = s;
        m->kind[k] = kind;
        if (kind == 's') {
            // The literal after the conversion must begin where the argument ends.
            for (const char *e = *rest ? s : end; e <= end; ++e) {
                if (*rest && *rest != '%' && (e == end || *e != *rest)) continue;
                m->len[k] = static_cast<size_t>(e - s);
                m->count = k + 1;
                if (match(rest, e, end, m)) return 1;
            }
            m->count = k;
            return 0;
        }
        const char *e = s;
        if (kind == 'd' && e < end && *e == '-') ++e;
        const char *digits = e;
        while (e < end && *e >= '0' && *e <= '9') ++e;
        if (e == digits) {
            m->count = k;
            return 0;
        }
        m->len[k] = static_cast<size_t>(e - s);
        s = e;
        f = rest;
    }
}

struct Out {
    char *p;
    size_t cap, n;
    void put(const char *s, size_t len) {
        for (size_t i = 0; i < len && n + 1 < cap; ++i) p[n++] = s[i];
    }
};

// Nested lines go no deeper than this: an argument is always shorter than the line around it, but a
// bound keeps the stack small whatever the catalogue holds.
constexpr int MAX_DEPTH = 4;

static void translate(const char *s, size_t n, Out *o, int depth) {
    const LangText *best = nullptr;
    size_t best_literal = 0;
    Match found;
    for (size_t i = 0; current && depth < MAX_DEPTH && i < current->count; ++i) {
        const LangText *t = &current->texts[i];
        size_t literal = literal_length(t->english);
        if (literal == 0 || literal > n || literal <= best_literal) continue;
        Match m;
        m.count = 0;
        if (!match(t->english, s, s + n, &m)) continue;
        best = t;
        best_literal = literal;
        found = m;
    }
    if (!best) {
        o->put(s, n);
        return;
    }
    int k = 0;
    for (const char *f = best->text; *f;) {
        if (*f != '%' || f[1] == '%') {
            o->put(f, 1);
            f += *f == '%' ? 2 : 1;
            continue;
        }
        char kind;
        f += conversion(f, &kind);
        if (k >= found.count) continue;  // the catalogue test keeps the conversions as in English
        if (found.kind[k] == 's')
            translate(found.at[k], found.len[k], o, depth + 1);
        else
            o->put(found.at[k], found.len[k]);
        ++k;
    }
}

size_t tr_line(const char *line, char *out, size_t cap) {
    if (!cap) return 0;
    Out o = {out, cap, 0};
    translate(line, strlen(line), &o, 0);
    out[o.n] = '\0';
    return o.n;
}

size_t tr_utf16(const char *line, uint16_t *out, size_t cap) {
    // A translation may take three bytes for each letter of the English line.
    char utf8[3 * LOG_BUF], translated[3 * LOG_BUF];
    pf_to_utf8(line, utf8, sizeof utf8);
    tr_line(utf8, translated, sizeof translated);
    return utf8_to_utf16(translated, out, cap);
}
