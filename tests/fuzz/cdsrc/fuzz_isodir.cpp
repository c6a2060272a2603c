// Fuzzes the ISO 9660 reader over an in-memory image: opening (the three sector layouts), lookups,
// the byte total, reading a file and, for small images, the whole copy. A copy must never write
// outside its destination, and a successful one must report exactly the total it promised.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "cdsrc/cdsrc.h"
#include "platform/platform.h"
#include "util/util.h"

namespace {

// The names directly inside a folder, in listing order.
std::string listing(const std::string &folder) {
    std::string names;
    PfList *l = pf_list_open(folder.c_str());
    PfEntry e;
    while (l && pf_list_next(l, &e)) names += std::string(e.name) + "|";
    pf_list_close(l);
    return names;
}

struct Sum {
    uint64_t bytes = 0;
    static void hear(uint64_t done, uint64_t, void *user) { static_cast<Sum *>(user)->bytes = done; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CdSrc *s = cd_open_mem(data, size);
    if (!s) return 0;
    static const char *const paths[] = {"3DGAME.EXE", "VELTRIS\\INTRO.DAT", "veltris/intro.dat",
                                        "D01\\D02\\D03", "EDGE\\K64P1.DAT", "\\", "A/", ""};
    for (const char *p : paths) {
        cd_exists(s, p);
        uint64_t n = 0;
        uint8_t *d = cd_read(s, p, &n);
        if (d) {
            d[n] = 0;  // the promised spare byte
            free(d);
        }
    }
    uint64_t total = cd_total_bytes(s);
    // Copies write to disk: only for small images with little data, so the fuzzer keeps its pace.
    if (size <= 160 * 1024 && total <= 256 * 1024) {
        // A private folder per copy, memory-backed when there is such a folder: copies make many files.
        char t[64];
        snprintf(t, sizeof t, "%s/fuzz-isodir-XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (!mkdtemp(t)) abort();
        std::string work = t, box = work + "/box", dest = box + "/game/cd";
        Sum sum;
        Progress p{0, total, &Sum::hear, &sum};
        int ok = cd_copy_all(s, dest.c_str(), &p);
        if (listing(work) != "box|" || listing(box) != "game|" || listing(box + "/game") != "cd|") {
            fprintf(stderr, "the copy wrote outside its destination\n");
            abort();
        }
        if (ok && sum.bytes != total) {
            fprintf(stderr, "copied %llu bytes of a total of %llu\n", static_cast<unsigned long long>(sum.bytes),
                    static_cast<unsigned long long>(total));
            abort();
        }
        delete_tree(work.c_str());
    }
    cd_close(s);
    return 0;
}
