// Fuzzes the reader of the list of known releases that the setup carries: whatever the bytes, a list it
// takes keeps every release's files and every name inside the bytes, each name a bounded string and each
// path plain names between '\'; and a CD made of the first release's files is that release (or one that
// adds files to it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cdsrc/cdsrc.h"
#include "install/install.h"

static void must(int ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "%s\n", what);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    ReleaseList l;
    if (!releases_read(data, size, &l)) return 0;
    std::vector<CdFile> cd;
    std::set<std::string> seen;
    int plain = 1;  // the first release names no file twice (letter case aside)
    for (uint32_t r = 0; r < l.releases; ++r) {
        must(strnlen(release_name(&l, r), PATH_BUF) < PATH_BUF, "an unbounded release name");
        for (uint32_t i = 0; i < release_file_count(&l, r); ++i) {
            ReleaseFile f = release_file(&l, r, i);
            size_t n = strnlen(f.path, PATH_BUF);
            must(n > 0 && n < PATH_BUF && f.path[0] != '\\' && f.path[n - 1] != '\\' && !strstr(f.path, "\\\\") &&
                     !strchr(f.path, '/') && !strchr(f.path, ':'), "a path that is no relative path");
            if (r > 0) continue;
            cd.push_back(CdFile{f.path, f.size, f.crc, 1});
            std::string folded(f.path);
            for (char &c : folded) c = ascii_upper(c);
            plain &= seen.insert(folded).second;
        }
    }
    Verdict v;
    must(cd_decide(&l, cd.data(), cd.size(), PATH_BUF, 0, &v), "no memory");
    must(v.matched + v.differ + v.not_listed == cd.size(), "files counted twice or not at all");
    must(!plain || (v.kind == CD_EXACT && v.release == 0) || release_file_count(&l, v.release) > cd.size(),
         "a CD of the first release's own files is not that release (or one that adds files to it)");
    verdict_free(&v);
    size_t len = 0;
    free(cd_dat_text(cd.data(), cd.size(), release_name(&l, 0), &len));
    return 0;
}
