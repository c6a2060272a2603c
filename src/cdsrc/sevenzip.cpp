// 7z archives (module cdsrc), read with the LZMA SDK's C code (7-Zip's own): its reader of the archive's
// header lists the entries; an entry's folder (a solid block, or one file) is decoded as a stream by the
// SDK's LZMA or LZMA2 decoder, from the folder's start, passing over the entries before it. The entry's
// CRC-32 is checked when its bytes are whole. Folders that need anything else (filters, other methods,
// encryption) are refused by name: extract such an archive with 7-Zip.
#include <cstdlib>
#include <cstring>

#include "7z.h"
#include "7zCrc.h"
#include "Lzma2Dec.h"
#include "LzmaDec.h"
#include "cdsrc_internal.h"

namespace {

constexpr UInt32 METHOD_COPY = 0, METHOD_LZMA2 = 0x21, METHOD_LZMA = 0x30101, METHOD_AES = 0x6F10701;
constexpr size_t INPUT = 256u << 10;   // compressed bytes read at a time
constexpr size_t MAX_ENTRIES = 1u << 16;
constexpr uint64_t MAX_DICTIONARY = 1536u << 20;  // 7-Zip's own limit

void *sz_alloc(ISzAllocPtr, size_t size) { return size ? malloc(size) : nullptr; }
void sz_free(ISzAllocPtr, void *address) { free(address); }
const ISzAlloc heap = {sz_alloc, sz_free};

// The archive file as the SDK reads it: a seekable stream over positioned reads.
struct SeekFile {
    ISeekInStream vt;
    pf_file f;
    uint64_t size, pos;
};

SRes sf_read(ISeekInStreamPtr p, void *buf, size_t *size) {
    SeekFile *s = reinterpret_cast<SeekFile *>(const_cast<ISeekInStream *>(p));
    uint32_t n = *size > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(*size), got = 0;
    *size = 0;
    if (!pf_read_at(s->f, s->pos, buf, n, &got)) return SZ_ERROR_READ;
    s->pos += got;
    *size = got;
    return SZ_OK;
}

SRes sf_seek(ISeekInStreamPtr p, Int64 *pos, ESzSeek origin) {
    SeekFile *s = reinterpret_cast<SeekFile *>(const_cast<ISeekInStream *>(p));
    Int64 base = origin == SZ_SEEK_SET ? 0 : origin == SZ_SEEK_CUR ? static_cast<Int64>(s->pos)
                                                                   : static_cast<Int64>(s->size);
    if (*pos < -base) return SZ_ERROR_PARAM;
    s->pos = static_cast<uint64_t>(base + *pos);
    *pos = static_cast<Int64>(s->pos);
    return SZ_OK;
}

struct SevenZip {
    Archive a;
    pf_file f;
    uint64_t size;
    CSzArEx db;
    int db_open;
    UInt32 *file_of;  // the SDK's file index of each listed entry
};

// What the decoder of one entry needs of its folder.
struct Folder {
    UInt32 method;
    Byte props[8];
    unsigned props_size;
    uint64_t pack_at, pack_size;  // the compressed bytes in the archive
    uint64_t unpack_size;
};

// The folder's single coder, or 0 with *why: what this reader decodes is LZMA, LZMA2 or stored bytes.
int folder_of(const CSzAr *ar, UInt32 k, uint64_t data_pos, uint64_t file_size, Folder *out, const char **why) {
    CSzFolder folder;
    CSzData sd;
    const Byte *data = ar->CodersData + ar->FoCodersOffsets[k];
    sd.Data = data;
    sd.Size = ar->FoCodersOffsets[k + 1] - ar->FoCodersOffsets[k];
    if (SzGetNextFolderItem(&folder, &sd) != SZ_OK) {
        *why = ARCHIVE_DAMAGED;
        return 0;
    }
    for (UInt32 c = 0; c < folder.NumCoders; ++c)
        if (folder.Coders[c].MethodID == METHOD_AES) {
            *why = ARCHIVE_ENCRYPTED;
            return 0;
        }
    const CSzCoderInfo &coder = folder.Coders[0];
    if (folder.NumCoders != 1 || folder.NumPackStreams != 1 ||
        (coder.MethodID != METHOD_LZMA && coder.MethodID != METHOD_LZMA2 && coder.MethodID != METHOD_COPY)) {
        *why = ARCHIVE_METHOD;
        return 0;
    }
    UInt32 pack = ar->FoStartPackStreamIndex[k];
    out->method = coder.MethodID;
    if (coder.PropsSize > sizeof out->props) {
        *why = ARCHIVE_DAMAGED;
        return 0;
    }
    memcpy(out->props, data + coder.PropsOffset, coder.PropsSize);
    out->props_size = coder.PropsSize;
    out->pack_at = data_pos + ar->PackPositions[pack];
    out->pack_size = ar->PackPositions[pack + 1] - ar->PackPositions[pack];
    out->unpack_size = SzAr_GetFolderUnpackSize(ar, k);
    if (out->pack_at > file_size || file_size - out->pack_at < out->pack_size) {
        *why = ARCHIVE_SIZES;
        return 0;
    }
    return 1;
}

// One entry's stream: its folder decoded from the start, the bytes before the entry passed over.
struct Entry {
    pf_file f;
    Folder folder;
    uint64_t skip, size;  // where the entry begins in its folder, and its bytes
    int has_crc;
    UInt32 crc_want;
    CLzmaDec lzma;
    CLzma2Dec lzma2;
    int lzma_ready, lzma2_ready;
    uint8_t *in;
    size_t in_pos, in_len;
    uint64_t in_at;         // compressed bytes read so far
    uint64_t out_at;        // folder bytes decoded so far
    uint32_t crc;           // the entry's CRC-32 so far
    uint8_t scratch[1 << 16];
};

// The decoder's dictionary: the size the archive gives, but never more than the folder's bytes (a match
// reaches at most back to the folder's start), so that a header cannot ask for gigabytes it does not use.
Byte *dictionary(const Folder &f, SizeT *size, const char **why) {
    uint64_t want = f.method == METHOD_LZMA ? (static_cast<uint64_t>(f.props[1]) | f.props[2] << 8 | f.props[3] << 16 |
                                               static_cast<uint64_t>(f.props[4]) << 24)
                                            : f.props[0] >= 40 ? 0xFFFFFFFFu
                                                               : (2u | (f.props[0] & 1u)) << (f.props[0] / 2 + 11);
    if (want > f.unpack_size) want = f.unpack_size;
    if (want < 4096) want = 4096;
    Byte *dic = want <= MAX_DICTIONARY ? static_cast<Byte *>(malloc(static_cast<size_t>(want))) : nullptr;
    if (!dic) *why = NO_MEMORY;
    *size = static_cast<SizeT>(want);
    return dic;
}

int entry_restart(void *ctx, const char **why) {
    Entry *e = static_cast<Entry *>(ctx);
    e->in_pos = e->in_len = 0;
    e->in_at = e->out_at = 0;
    e->crc = 0;
    if (e->folder.method == METHOD_LZMA) {
        if (!e->lzma_ready) {
            if (e->folder.props_size != LZMA_PROPS_SIZE ||
                LzmaDec_AllocateProbs(&e->lzma, e->folder.props, e->folder.props_size, &heap) != SZ_OK) {
                *why = ARCHIVE_DAMAGED;
                return 0;
            }
            e->lzma_ready = 1;
            if (!(e->lzma.dic = dictionary(e->folder, &e->lzma.dicBufSize, why))) return 0;
        }
        LzmaDec_Init(&e->lzma);
    } else if (e->folder.method == METHOD_LZMA2) {
        if (!e->lzma2_ready) {
            if (e->folder.props_size != 1 || Lzma2Dec_AllocateProbs(&e->lzma2, e->folder.props[0], &heap) != SZ_OK) {
                *why = ARCHIVE_DAMAGED;
                return 0;
            }
            e->lzma2_ready = 1;
            if (!(e->lzma2.decoder.dic = dictionary(e->folder, &e->lzma2.decoder.dicBufSize, why))) return 0;
        }
        Lzma2Dec_Init(&e->lzma2);
    }
    return 1;
}

// Decodes up to cap bytes of the folder into dst. 0 with *why on damage; *got 0 only at the folder's end.
int folder_decode(Entry *e, uint8_t *dst, size_t cap, size_t *got, const char **why) {
    *got = 0;
    uint64_t left = e->folder.unpack_size - e->out_at;
    if (cap > left) cap = static_cast<size_t>(left);
    while (*got == 0 && cap > 0) {
        if (e->in_pos == e->in_len && e->in_at < e->folder.pack_size) {
            uint64_t rest = e->folder.pack_size - e->in_at;
            uint32_t n = rest < INPUT ? static_cast<uint32_t>(rest) : static_cast<uint32_t>(INPUT), r = 0;
            if (!pf_read_at(e->f, e->folder.pack_at + e->in_at, e->in, n, &r) || r != n) {
                *why = ARCHIVE_CUT;
                return 0;
            }
            e->in_pos = 0;
            e->in_len = n;
            e->in_at += n;
        }
        SizeT out = cap, in = e->in_len - e->in_pos;
        ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
        SRes res = SZ_OK;
        if (e->folder.method == METHOD_COPY) {
            out = in < cap ? in : cap;
            memcpy(dst, e->in + e->in_pos, out);
            in = out;
        } else if (e->folder.method == METHOD_LZMA) {
            res = LzmaDec_DecodeToBuf(&e->lzma, dst, &out, e->in + e->in_pos, &in, LZMA_FINISH_ANY, &status);
        } else {
            res = Lzma2Dec_DecodeToBuf(&e->lzma2, dst, &out, e->in + e->in_pos, &in, LZMA_FINISH_ANY, &status);
        }
        e->in_pos += in;
        if (res != SZ_OK) {
            *why = ARCHIVE_DAMAGED;
            return 0;
        }
        // Nothing more comes out: the compressed bytes ran out, or the stream ended (with its mark) early.
        if (out == 0 && (in == 0 || status == LZMA_STATUS_FINISHED_WITH_MARK)) {
            *why = e->in_at == e->folder.pack_size ? ARCHIVE_DAMAGED : ARCHIVE_CUT;
            return 0;
        }
        *got = out;
    }
    e->out_at += *got;
    return 1;
}

int entry_next(void *ctx, uint8_t *dst, size_t cap, size_t *got, const char **why) {
    Entry *e = static_cast<Entry *>(ctx);
    // The entries before this one in a solid block are decoded and passed over.
    while (e->out_at < e->skip) {
        uint64_t n = e->skip - e->out_at;
        size_t k = 0;
        if (!folder_decode(e, e->scratch, n < sizeof e->scratch ? static_cast<size_t>(n) : sizeof e->scratch, &k,
                           why))
            return 0;
    }
    uint64_t left = e->skip + e->size - e->out_at;
    *got = 0;
    if (left == 0) {
        if (e->has_crc && e->crc != e->crc_want) *why = ARCHIVE_CRC;
        return 1;
    }
    if (!folder_decode(e, dst, cap < left ? cap : static_cast<size_t>(left), got, why)) return 0;
    e->crc = crc32_add(e->crc, dst, *got);
    return 1;
}

void entry_close(void *ctx) {
    Entry *e = static_cast<Entry *>(ctx);
    if (e->lzma_ready) LzmaDec_Free(&e->lzma, &heap);
    if (e->lzma2_ready) Lzma2Dec_Free(&e->lzma2, &heap);
    free(e->in);
    free(e);
}

ByteSource *sevenzip_entry(Archive *a, size_t i, const char **why) {
    SevenZip *z = reinterpret_cast<SevenZip *>(a);
    UInt32 file = z->file_of[i];
    UInt32 k = z->db.FileToFolder[file];
    Folder folder;
    if (k == static_cast<UInt32>(-1) || !folder_of(&z->db.db, k, z->db.dataPos, z->size, &folder, why)) {
        if (k == static_cast<UInt32>(-1)) *why = ARCHIVE_DAMAGED;
        return nullptr;
    }
    Entry *e = static_cast<Entry *>(calloc(1, sizeof(Entry)));
    uint8_t *in = static_cast<uint8_t *>(malloc(INPUT));
    if (!e || !in) {
        free(e);
        free(in);
        *why = NO_MEMORY;
        return nullptr;
    }
    e->f = z->f;
    e->folder = folder;
    e->in = in;
    LzmaDec_CONSTRUCT(&e->lzma)
    Lzma2Dec_CONSTRUCT(&e->lzma2)
    e->skip = z->db.UnpackPositions[file] - z->db.UnpackPositions[z->db.FolderToFile[k]];
    e->size = SzArEx_GetFileSize(&z->db, file);
    e->has_crc = SzBitWithVals_Check(&z->db.CRCs, file);
    if (e->has_crc) e->crc_want = z->db.CRCs.Vals[file];
    if (e->skip > folder.unpack_size || folder.unpack_size - e->skip < e->size) {
        entry_close(e);
        *why = ARCHIVE_DAMAGED;
        return nullptr;
    }
    if (!entry_restart(e, why)) {
        entry_close(e);
        return nullptr;
    }
    StreamDecoder dec = {e, entry_restart, entry_next, entry_close};
    ByteSource *b = bytes_stream(&dec, e->size);
    if (!b) *why = NO_MEMORY;
    return b;
}

void sevenzip_close(Archive *a) {
    SevenZip *z = reinterpret_cast<SevenZip *>(a);
    if (z->db_open) SzArEx_Free(&z->db, &heap);
    free(z->a.entries);
    free(z->file_of);
    free(z);
}

const ArchiveOps sevenzip_ops = {sevenzip_entry, sevenzip_close};

// The entry's name as UTF-8 into out (cap bytes); 0 when it does not fit or is no UTF-16.
int entry_name(const CSzArEx *db, UInt32 file, char *out, size_t cap) {
    size_t units = SzArEx_GetFileNameUtf16(db, file, nullptr);
    if (units == 0 || units > cap) return 0;
    UInt16 *name = static_cast<UInt16 *>(malloc(units * sizeof(UInt16)));
    if (!name) return 0;
    SzArEx_GetFileNameUtf16(db, file, name);
    size_t n = 0;
    int ok = 1;
    for (size_t i = 0; ok && i + 1 < units; ++i) {
        uint32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 2 < units && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            ok = 0;
        if (n + 5 > cap) ok = 0;
        if (ok) n += utf8_put(c, out + n);
    }
    free(name);
    if (ok) out[n] = '\0';
    return ok;
}

}  // namespace

Archive *sevenzip_open(pf_file f, uint64_t size, const char **why) {
    static int crc_ready = 0;
    if (!crc_ready) {
        CrcGenerateTable();
        crc_ready = 1;
    }
    SevenZip *z = static_cast<SevenZip *>(calloc(1, sizeof(SevenZip)));
    SeekFile file = {{sf_read, sf_seek}, f, size, 0};
    CLookToRead2 look;
    uint8_t *buf = static_cast<uint8_t *>(malloc(1 << 16));
    if (!z || !buf) {
        free(z);
        free(buf);
        *why = NO_MEMORY;
        return nullptr;
    }
    z->a.ops = &sevenzip_ops;
    z->f = f;
    z->size = size;
    LookToRead2_CreateVTable(&look, False);
    look.buf = buf;
    look.bufSize = 1 << 16;
    look.realStream = &file.vt;
    LookToRead2_INIT(&look)
    SzArEx_Init(&z->db);
    SRes res = SzArEx_Open(&z->db, &look.vt, &heap, &heap);
    free(buf);
    if (res != SZ_OK) {
        SzArEx_Free(&z->db, &heap);
        free(z);
        // An encrypted header is a method the reader does not know.
        *why = res == SZ_ERROR_UNSUPPORTED ? ARCHIVE_METHOD
               : res == SZ_ERROR_MEM       ? NO_MEMORY
               : res == SZ_ERROR_INPUT_EOF ? ARCHIVE_CUT
                                           : N_("the archive is damaged or cut short");
        return nullptr;
    }
    z->db_open = 1;
    size_t room = z->db.NumFiles < MAX_ENTRIES ? z->db.NumFiles : MAX_ENTRIES;
    z->a.entries = static_cast<ArchiveEntry *>(calloc(room ? room : 1, sizeof(ArchiveEntry)));
    z->file_of = static_cast<UInt32 *>(calloc(room ? room : 1, sizeof(UInt32)));
    if (!z->a.entries || !z->file_of) {
        sevenzip_close(&z->a);
        *why = NO_MEMORY;
        return nullptr;
    }
    for (UInt32 i = 0; i < z->db.NumFiles && z->a.count < room; ++i) {
        ArchiveEntry *e = &z->a.entries[z->a.count];
        if (!entry_name(&z->db, i, e->name, sizeof e->name)) continue;
        e->folder = SzArEx_IsDir(&z->db, i);
        e->size = SzArEx_GetFileSize(&z->db, i);
        UInt32 k = z->db.FileToFolder[i];
        const char *fault = nullptr;
        Folder folder;
        e->encrypted = k != static_cast<UInt32>(-1) &&
                       !folder_of(&z->db.db, k, z->db.dataPos, size, &folder, &fault) && fault == ARCHIVE_ENCRYPTED;
        z->file_of[z->a.count++] = i;
    }
    return &z->a;
}
