// ZIP archives (module cdsrc), read with minizip (zlib's own reader of the format) through the platform's
// positioned reads: the entries listed once, an entry stored as it is (method 0) read in place, a deflated
// one decoded by zlib as a stream. Each entry's CRC-32 is checked when its stream is whole; zip64 sizes and
// offsets are minizip's. An encrypted entry, or one in any other method, is refused by name.
#include <cstdlib>
#include <cstring>

#include "cdsrc_internal.h"
#include "unzip.h"

namespace {

constexpr unsigned long ZIP_ENCRYPTED = 0x1;  // general purpose flag bit 0 (APPNOTE 4.4.4)
constexpr unsigned long METHOD_STORED = 0, METHOD_DEFLATED = 8;
constexpr size_t MAX_ENTRIES = 1u << 16;     // an image's archive holds a handful

// The file minizip reads: positioned reads of the archive, each open stream with its own position.
struct ZipFile {
    pf_file f;
    uint64_t size, pos;
    int failed;
};

voidpf ZCALLBACK zf_open(voidpf opaque, const void *, int) {
    ZipFile *z = static_cast<ZipFile *>(calloc(1, sizeof(ZipFile)));
    if (z) *z = *static_cast<ZipFile *>(opaque);
    return z;
}

uLong ZCALLBACK zf_read(voidpf, voidpf stream, void *buf, uLong n) {
    ZipFile *z = static_cast<ZipFile *>(stream);
    uint32_t got = 0;
    if (!pf_read_at(z->f, z->pos, buf, static_cast<uint32_t>(n), &got)) z->failed = 1;
    z->pos += got;
    return got;
}

uLong ZCALLBACK zf_write(voidpf, voidpf, const void *, uLong) { return 0; }

ZPOS64_T ZCALLBACK zf_tell(voidpf, voidpf stream) { return static_cast<ZipFile *>(stream)->pos; }

long ZCALLBACK zf_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    ZipFile *z = static_cast<ZipFile *>(stream);
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? z->pos : z->size;
    if (offset > UINT64_MAX - base) return -1;
    z->pos = base + offset;
    return 0;
}

int ZCALLBACK zf_close(voidpf, voidpf stream) {
    free(stream);
    return 0;
}

int ZCALLBACK zf_error(voidpf, voidpf stream) { return static_cast<ZipFile *>(stream)->failed; }

struct Zip {
    Archive a;
    ZipFile file;              // the archive, as every minizip handle opens it
    zlib_filefunc64_def io;
    unz64_file_pos *pos;       // where each entry's record is, for minizip to go back to
    uint32_t *crc;
    unsigned long *method;
};

unzFile zip_handle(Zip *z) {
    z->io = zlib_filefunc64_def{zf_open, zf_read, zf_write, zf_tell, zf_seek, zf_close, zf_error, &z->file};
    return unzOpen2_64("", &z->io);
}

// A deflated entry's stream: zlib's inflate under minizip, which also keeps the CRC-32.
struct Deflated {
    unzFile uf;
    unz64_file_pos pos;
    int open;
};

int deflated_restart(void *ctx, const char **why) {
    Deflated *d = static_cast<Deflated *>(ctx);
    if (d->open) unzCloseCurrentFile(d->uf);
    d->open = unzGoToFilePos64(d->uf, &d->pos) == UNZ_OK && unzOpenCurrentFile(d->uf) == UNZ_OK;
    if (!d->open) *why = ARCHIVE_DAMAGED;
    return d->open;
}

int deflated_next(void *ctx, uint8_t *dst, size_t cap, size_t *got, const char **why) {
    Deflated *d = static_cast<Deflated *>(ctx);
    if (!d->open) return 0;
    int n = unzReadCurrentFile(d->uf, dst, static_cast<unsigned>(cap));
    if (n < 0) {
        *why = ARCHIVE_DAMAGED;
        return 0;
    }
    *got = static_cast<size_t>(n);
    if (n == 0) {
        // The end: minizip compares the CRC-32 once the entry's declared size has been read whole.
        d->open = 0;
        if (unzCloseCurrentFile(d->uf) == UNZ_CRCERROR) *why = ARCHIVE_CRC;
    }
    return 1;
}

void deflated_close(void *ctx) {
    Deflated *d = static_cast<Deflated *>(ctx);
    if (d->open) unzCloseCurrentFile(d->uf);
    unzClose(d->uf);
    free(d);
}

ByteSource *zip_entry(Archive *a, size_t i, const char **why) {
    Zip *z = reinterpret_cast<Zip *>(a);
    if (z->method[i] != METHOD_STORED && z->method[i] != METHOD_DEFLATED) {
        *why = ARCHIVE_METHOD;
        return nullptr;
    }
    unzFile uf = zip_handle(z);
    if (!uf || unzGoToFilePos64(uf, &z->pos[i]) != UNZ_OK || unzOpenCurrentFile(uf) != UNZ_OK) {
        if (uf) unzClose(uf);
        *why = ARCHIVE_DAMAGED;
        return nullptr;
    }
    if (z->method[i] == METHOD_STORED) {
        // In place: the entry's bytes are the image's, at a place in the archive that minizip checked
        // against the entry's local header.
        uint64_t at = unzGetCurrentFileZStreamPos64(uf);
        unzCloseCurrentFile(uf);
        unzClose(uf);
        if (at > z->file.size || z->file.size - at < a->entries[i].size) {
            *why = ARCHIVE_SIZES;
            return nullptr;
        }
        ByteSource *b = bytes_span(z->file.f, at, a->entries[i].size, 0);
        if (!b) *why = NO_MEMORY;
        if (b) bytes_span_check(b, z->crc[i]);
        return b;
    }
    Deflated *d = static_cast<Deflated *>(calloc(1, sizeof(Deflated)));
    if (!d) {
        unzClose(uf);
        *why = NO_MEMORY;
        return nullptr;
    }
    *d = Deflated{uf, z->pos[i], 1};
    StreamDecoder dec = {d, deflated_restart, deflated_next, deflated_close};
    ByteSource *b = bytes_stream(&dec, a->entries[i].size);
    if (!b) *why = NO_MEMORY;
    return b;
}

void zip_close(Archive *a) {
    Zip *z = reinterpret_cast<Zip *>(a);
    free(z->a.entries);
    free(z->pos);
    free(z->crc);
    free(z->method);
    free(z);
}

const ArchiveOps zip_ops = {zip_entry, zip_close};

}  // namespace

Archive *zip_open(pf_file f, uint64_t size, const char **why) {
    Zip *z = static_cast<Zip *>(calloc(1, sizeof(Zip)));
    if (!z) {
        *why = NO_MEMORY;
        return nullptr;
    }
    z->a.ops = &zip_ops;
    z->file = ZipFile{f, size, 0, 0};
    unzFile uf = zip_handle(z);
    unz_global_info64 g;
    if (!uf || unzGetGlobalInfo64(uf, &g) != UNZ_OK) {
        if (uf) unzClose(uf);
        free(z);
        *why = N_("the archive is damaged or cut short");
        return nullptr;
    }
    // The count is the archive's word: it is held to what its central directory (46 bytes an entry) can hold.
    uint64_t most = size / 46 < MAX_ENTRIES ? size / 46 : MAX_ENTRIES;
    size_t room = static_cast<size_t>(g.number_entry < most ? g.number_entry : most);
    z->a.entries = static_cast<ArchiveEntry *>(calloc(room ? room : 1, sizeof(ArchiveEntry)));
    z->pos = static_cast<unz64_file_pos *>(calloc(room ? room : 1, sizeof(unz64_file_pos)));
    z->crc = static_cast<uint32_t *>(calloc(room ? room : 1, sizeof(uint32_t)));
    z->method = static_cast<unsigned long *>(calloc(room ? room : 1, sizeof(unsigned long)));
    int ok = z->a.entries && z->pos && z->crc && z->method;
    if (!ok) *why = NO_MEMORY;
    for (int r = ok ? unzGoToFirstFile(uf) : UNZ_END_OF_LIST_OF_FILE; ok && r == UNZ_OK && z->a.count < room;
         r = unzGoToNextFile(uf)) {
        unz_file_info64 info;
        ArchiveEntry *e = &z->a.entries[z->a.count];
        if (unzGetCurrentFileInfo64(uf, &info, e->name, sizeof e->name, nullptr, 0, nullptr, 0) != UNZ_OK ||
            unzGetFilePos64(uf, &z->pos[z->a.count]) != UNZ_OK) {
            ok = 0;
            *why = ARCHIVE_DAMAGED;
            break;
        }
        // A name cut to the buffer names another entry: such an entry is left out.
        if (info.size_filename >= sizeof e->name) continue;
        e->size = info.uncompressed_size;
        e->folder = info.size_filename > 0 && (e->name[info.size_filename - 1] == '/' ||
                                               e->name[info.size_filename - 1] == '\\');
        // Stored bytes are the entry's own: a stored entry larger than the archive claims what is not there.
        if (info.compressed_size > size || (info.compression_method == METHOD_STORED &&
                                            info.uncompressed_size != info.compressed_size)) {
            ok = 0;
            *why = ARCHIVE_SIZES;
            break;
        }
        z->crc[z->a.count] = static_cast<uint32_t>(info.crc);
        z->method[z->a.count] = info.compression_method;
        e->encrypted = (info.flag & ZIP_ENCRYPTED) != 0;
        ++z->a.count;
    }
    unzClose(uf);
    if (!ok) {
        zip_close(&z->a);
        return nullptr;
    }
    return &z->a;
}
