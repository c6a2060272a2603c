// What the archive and ECM fuzzers share: the input as an open file (the readers take one), and the reads
// every byte source must survive: the start, a read behind it, the end, and the check of the whole.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "cdsrc/cdsrc_internal.h"

// The bytes as a file in memory; PF_INVALID when it cannot be made.
inline pf_file memory_file(const uint8_t *data, size_t size) {
    int fd = memfd_create("fuzz", 0);
    if (fd < 0) return PF_INVALID;
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return PF_INVALID;
        }
        done += static_cast<size_t>(n);
    }
    return fd;
}

// Reads the source as the ISO reader would and checks it whole when it is small; a failed read must say
// why, and nothing comes back beyond the source's size.
inline void exercise(ByteSource *b) {
    static uint8_t buf[65536];
    uint64_t positions[] = {16 * 2048, 0, b->size > 4096 ? b->size - 4096 : 0};
    for (uint64_t pos : positions) {
        uint32_t got = 0;
        if (b->ops->read_at(b, pos, buf, sizeof buf, &got)) {
            if (got > sizeof buf || (pos < b->size && got > b->size - pos) || (pos >= b->size && got)) abort();
        } else if (b->sequential && !b->why) {
            abort();
        }
    }
    if (b->size <= (16u << 20) && !b->ops->finish(b) && !b->why) abort();
    bytes_close(b);
}

// An archive as its reader meets it: opened, then its first entries read; every refusal is worded.
inline int fuzz_archive(const uint8_t *data, size_t size, Archive *(*open)(pf_file, uint64_t, const char **)) {
    if (size > 1 << 20) return 0;
    pf_file f = memory_file(data, size);
    if (f == PF_INVALID) return 0;
    const char *why = nullptr;
    Archive *a = open(f, size, &why);
    if (!a && !why) abort();
    for (size_t i = 0; a && i < a->count && i < 8; ++i) {
        ByteSource *b = a->ops->open(a, i, &why);
        if (b) exercise(b);
        else if (!why) abort();
    }
    if (a) a->ops->close(a);
    pf_close(f);
    return 0;
}
