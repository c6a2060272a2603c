#include "cdsrc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "setup.h"

CdSrc *cd_open(const char *) { return nullptr; }
CdSrc *cd_open_mem(const uint8_t *, uint64_t) { return nullptr; }
void cd_close(CdSrc *s) {
    if (!s) return;
    pf_close(s->handle);
    free(s);
}
const char *cd_describe(CdSrc *s) { return s->desc; }
int cd_exists(CdSrc *, const char *) { return 0; }
uint8_t *cd_read(CdSrc *, const char *, uint64_t *) { return nullptr; }
uint64_t cd_total_bytes(CdSrc *) { return 0; }
int cd_copy_all(CdSrc *, const char *, Progress *) { return 0; }
