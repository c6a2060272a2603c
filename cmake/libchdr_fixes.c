/* Two things of libchdr 0.3.0 put right from outside, without a change to its sources
   (cmake/third_party.cmake compiles the calls to them renamed to the functions here).

   The LZMA dictionary: libchdr sizes the LZMA decoder's dictionary as LzmaEncProps_Normalize would for level 9 and a
   hunk, but takes the larger of level 9's 256 MiB and the hunk where the SDK takes the smaller: every
   decoder of cdlz (and lzma) hunks would allocate 256 MiB. A CHD's hunks are compressed one by one, so no
   match reaches further back than the hunk's size; the CD source takes hunks of at most 1 MiB. The
   codec's allocation comes here, which bounds the dictionary and allocates through libchdr's LzmaDec.

   sscanf: libchdr reads a hard disk's geometry with it to guess the unit size of CHDs older than
   version 5, which pulls in MinGW's whole scanf (about 35 KB of setup.exe). A CD's CHD has no such
   geometry, and the CD source refuses any other: the geometry never parses, and the guess goes on to
   the CD's track list as it would. snprintf: libchdr writes such a geometry into the metadata of a hard disk's
   CHD older than version 3, the one use of MinGW's whole printf (about 23 KB of setup.exe, with its
   floating-point conversions); the CD source refuses those CHDs, so the text is left empty. */
#include <string.h>

#include "LzmaDec.h"

#define MAX_DICTIONARY ((UInt32)1 << 20)

SRes chdr_lzma_allocate_bounded(CLzmaDec *p, const Byte *props, unsigned size, ISzAllocPtr alloc) {
    Byte bounded[LZMA_PROPS_SIZE];
    UInt32 dictionary;
    if (size < LZMA_PROPS_SIZE) return SZ_ERROR_UNSUPPORTED;
    memcpy(bounded, props, LZMA_PROPS_SIZE);
    dictionary = (UInt32)props[1] | (UInt32)props[2] << 8 | (UInt32)props[3] << 16 | (UInt32)props[4] << 24;
    if (dictionary > MAX_DICTIONARY) {
        bounded[1] = (Byte)MAX_DICTIONARY;
        bounded[2] = (Byte)(MAX_DICTIONARY >> 8);
        bounded[3] = (Byte)(MAX_DICTIONARY >> 16);
        bounded[4] = (Byte)(MAX_DICTIONARY >> 24);
    }
    return LzmaDec_Allocate(p, bounded, LZMA_PROPS_SIZE, alloc);
}

int chdr_no_sscanf(const char *text, const char *format, ...) {
    (void)text;
    (void)format;
    return 0;
}

int chdr_no_snprintf(char *out, size_t size, const char *format, ...) {
    (void)format;
    if (size) out[0] = '\0';
    return 0;
}
