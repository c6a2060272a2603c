// Fuzzes CUE sheet resolution: any text, several sheet paths, output buffers of several sizes.
// The result always fits its buffer, and a relative name always lands in the sheet's folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cdsrc.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated, maybe early
    static const char *const sheets[] = {"C:\\Games\\cd\\game.cue", "cds/game.cue", "game.cue", "\\\\srv\\share\\x.CUE",
                                         ""};
    static const size_t caps[] = {PATH_BUF, 12, 1};
    for (const char *sheet : sheets) {
        for (size_t cap : caps) {
            char out[PATH_BUF + 16];
            memset(out, 'X', sizeof out);
            int r = cue_resolve(sheet, text.c_str(), out, cap);
            if (!r) continue;
            size_t len = strnlen(out, sizeof out);
            if (len >= cap || out[cap] != 'X') {
                fprintf(stderr, "result overran its buffer of %zu\n", cap);
                abort();
            }
            const char *slash = strrchr(sheet, '\\');
            const char *name = strchr(strstr(text.c_str(), "FILE"), '"') + 1;
            size_t name_len = static_cast<size_t>(strchr(name, '"') - name);
            if (slash && !memchr(name, ':', name_len)) {
                size_t folder = static_cast<size_t>(slash - sheet) + 1;
                size_t want = folder < len ? folder : len;
                if (strncmp(out, sheet, want) != 0) {
                    fprintf(stderr, "a relative name left the sheet's folder\n");
                    abort();
                }
            }
        }
    }
    return 0;
}
