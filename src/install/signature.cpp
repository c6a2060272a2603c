// Whether an executable carries an Authenticode signature, read from its bytes (portable).
#include "install/install.h"

#include "util/bytes.h"

// PE/COFF, after Microsoft's "PE Format": the DOS header's e_lfanew (offset 0x3C) points to "PE\0\0", which
// the 20-byte COFF file header follows (SizeOfOptionalHeader at its offset 16), and then the optional
// header. Its magic tells PE32 (0x10B) from PE32+ (0x20B); NumberOfRvaAndSizes stands at offset 92 or 108
// and the data directories, 8 bytes each, right after it. Directory 4, the certificate table, is the one
// directory that holds a file offset instead of an address; a signing tool appends the signature there.
int exe_signed(const uint8_t *exe, uint64_t size) {
    if (!exe) return 0;
    Cursor dos = cursor(exe, size, 0);
    if (get_le_at(&dos, 0, 2) != 0x5A4D) return 0;  // "MZ"
    uint64_t pe = get_le_at(&dos, 0x3C, 4);
    if (dos.failed) return 0;
    Cursor h = cursor(exe, size, pe);
    if (get_le(&h, 4) != 0x4550) return 0;  // "PE\0\0"
    uint64_t optional_size = get_le_at(&h, 16, 2);
    cur_skip(&h, 20);
    uint64_t magic = get_le_at(&h, 0, 2);
    size_t count_at = magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0;
    if (h.failed || !count_at) return 0;
    const size_t certificates = count_at + 4 + 4 * 8;
    // A directory beyond the count, or beyond the optional header, is not there.
    if (get_le_at(&h, count_at, 4) <= 4 || certificates + 8 > optional_size) return 0;
    uint64_t bytes = get_le_at(&h, certificates + 4, 4);
    // Taken at its word: a table that claims bytes counts as a signature, also one that a damaged file
    // cannot hold, so that the setup never writes into a file that may be signed.
    return !h.failed && bytes != 0;
}
