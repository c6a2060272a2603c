# The libraries setup.exe carries, as static libraries built with the rest (included once the build's own
# compile options are set and the modules made, so that they get the same size, reproducibility and
# sanitizer flags, and the modules that use them link them at the end):
#   zlib          Debian's binary package: libz-mingw-w64-dev for Windows, zlib1g-dev natively
#   chdr          libchdr, the CHD reader (its own LZMA decoder, dr_flac for FLAC; zlib and zstd below)
#   zstd_decoder  zstd's decoder alone
#   lzma_sdk      the LZMA SDK in C from 7-Zip's sources: the LZMA and LZMA2 decoders (also libchdr's), the 7z archive reader
#   minizip       zlib's contrib/minizip: the ZIP archive reader
# The others are Debian source packages at the versions cmake/third_party.pins names, which
# scripts/bootstrap.sh unpacks into ZARNITH_THIRD_PARTY_DIR/<package>.
set(ZARNITH_THIRD_PARTY_DIR ${CMAKE_SOURCE_DIR}/build/third_party CACHE PATH
    "Where scripts/bootstrap.sh unpacked the Debian source packages of cmake/third_party.pins")
set(TP ${ZARNITH_THIRD_PARTY_DIR})

file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/third_party.pins pin_lines REGEX "^[^#]")
foreach(line ${pin_lines})
  string(REGEX MATCH "^([^ ]+) +([^ ]+)" _ "${line}")
  set(pkg ${CMAKE_MATCH_1})
  set(want ${CMAKE_MATCH_2})
  set(have "")
  if(EXISTS ${TP}/${pkg}/.debian-version)
    file(STRINGS ${TP}/${pkg}/.debian-version have LIMIT_COUNT 1)
  endif()
  if(NOT have STREQUAL want)
    message(FATAL_ERROR "The Debian source package ${pkg} ${want} is not in ${TP}/${pkg} "
                        "(found: '${have}'): run scripts/bootstrap.sh")
  endif()
  set(THIRD_PARTY_VERSION_${pkg} ${want})
endforeach()

# Their own warnings are not ours to fix; their file names carry no build path. They get no unwind tables
# (30 KiB of setup.exe): nothing unwinds through them, as they throw nothing, call back nothing that throws
# and use no setjmp, and a fault in them ends the setup as a fault anywhere does. Natively they run under
# AddressSanitizer (and the fuzzers' coverage) like our code, but UndefinedBehaviorSanitizer checks our code only.
set(tp_options -w -ffile-prefix-map=${TP}/=third_party/ -fno-asynchronous-unwind-tables)
if(NOT WIN32 AND ZARNITH_SANITIZE MATCHES "undefined")
  list(APPEND tp_options -fno-sanitize=undefined)
endif()
function(third_party_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${tp_options})
  set_target_properties(${name} PROPERTIES C_VISIBILITY_PRESET default POSITION_INDEPENDENT_CODE OFF)
endfunction()

# zlib: the static library of Debian's binary package.
find_path(ZLIB_INCLUDE zlib.h REQUIRED)
if(WIN32)
  find_library(ZLIB_STATIC NAMES libz.a REQUIRED)
else()
  find_library(ZLIB_STATIC NAMES z REQUIRED)
endif()
add_library(zlib INTERFACE)
target_include_directories(zlib SYSTEM INTERFACE ${ZLIB_INCLUDE})
target_link_libraries(zlib INTERFACE ${ZLIB_STATIC})

# zstd's decoder, built for size (CHDs rarely use it): single-symbol Huffman, short sequences only, no legacy
# formats, no error strings.
set(zstd ${TP}/libzstd/lib)
third_party_library(zstd_decoder
  ${zstd}/common/entropy_common.c ${zstd}/common/error_private.c ${zstd}/common/fse_decompress.c
  ${zstd}/common/zstd_common.c ${zstd}/common/xxhash.c ${zstd}/common/debug.c
  ${zstd}/decompress/huf_decompress.c ${zstd}/decompress/zstd_ddict.c
  ${zstd}/decompress/zstd_decompress.c ${zstd}/decompress/zstd_decompress_block.c)
target_compile_definitions(zstd_decoder PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM HUF_FORCE_DECOMPRESS_X1
                           ZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT ZSTD_STRIP_ERROR_STRINGS ZSTD_NO_TRACE ZSTD_NO_INLINE)
target_include_directories(zstd_decoder SYSTEM PUBLIC ${zstd})

# libchdr with CD codecs (cdlz, cdzl, cdfl, cdzs), sectors as stored on the disc (every hunk's CRC is checked
# by the CD source, cdsrc/chd.cpp, eight bytes at a step where libchdr takes one).
set(chdr ${TP}/libchdr)
third_party_library(chdr
  ${chdr}/src/libchdr_bitstream.c ${chdr}/src/libchdr_cdrom.c ${chdr}/src/libchdr_chd.c
  ${chdr}/src/libchdr_codec_cdfl.c ${chdr}/src/libchdr_codec_cdlz.c ${chdr}/src/libchdr_codec_cdzl.c
  ${chdr}/src/libchdr_codec_cdzs.c ${chdr}/src/libchdr_codec_flac.c ${chdr}/src/libchdr_codec_huff.c
  ${chdr}/src/libchdr_codec_lzma.c ${chdr}/src/libchdr_codec_zlib.c ${chdr}/src/libchdr_codec_zstd.c
  ${chdr}/src/libchdr_flac.c ${chdr}/src/libchdr_huffman.c ${CMAKE_SOURCE_DIR}/cmake/libchdr_fixes.c)
# Its LZMA decoder's dictionary bounded, and no scanf for a hard disk's geometry (cmake/libchdr_fixes.c).
set_source_files_properties(${chdr}/src/libchdr_codec_lzma.c PROPERTIES
                            COMPILE_DEFINITIONS CHDR_LzmaDec_Allocate=chdr_lzma_allocate_bounded)
set_source_files_properties(${chdr}/src/libchdr_chd.c PROPERTIES
                            COMPILE_OPTIONS "-include;${CMAKE_SOURCE_DIR}/cmake/libchdr_no_sscanf.h")
# Its LZMA decoder is the SDK's below, of the same version (25.01), which the 7z reader uses too: one copy.
# libchdr names its own copy's functions CHDR_*; those names lead to the SDK's.
target_include_directories(chdr PRIVATE ${TP}/7zip/C)
target_compile_definitions(chdr PRIVATE CHDR_LzmaDec_Init=LzmaDec_Init CHDR_LzmaDec_Free=LzmaDec_Free
                           CHDR_LzmaDec_DecodeToBuf=LzmaDec_DecodeToBuf CHDR_LzmaDec_DecodeToDic=LzmaDec_DecodeToDic
                           CHDR_LzmaDec_AllocateProbs=LzmaDec_AllocateProbs CHDR_LzmaDec_FreeProbs=LzmaDec_FreeProbs
                           CHDR_LzmaProps_Decode=LzmaProps_Decode CHDR_LzmaDecode=LzmaDecode)
# Each hunk of a CHD install passes through these: for speed, as the copy loops (the rest for size).
if(WIN32)
  set_property(SOURCE ${chdr}/src/libchdr_chd.c ${chdr}/src/libchdr_cdrom.c ${chdr}/src/libchdr_codec_cdzl.c
               ${chdr}/src/libchdr_codec_cdlz.c ${TP}/7zip/C/LzmaDec.c ${TP}/7zip/C/Lzma2Dec.c
               APPEND PROPERTY COMPILE_OPTIONS -O2)
endif()
target_compile_definitions(chdr PRIVATE CHDR_SYSTEM_ZLIB CHDR_SYSTEM_ZSTD WANT_RAW_DATA_SECTOR=1 WANT_SUBCODE=1
                           VERIFY_BLOCK_CRC=0 _LARGEFILE64_SOURCE DR_FLAC_NO_SIMD DR_FLAC_NO_OGG DR_FLAC_NO_WCHAR
                           DR_FLAC_NO_CRC)
target_include_directories(chdr SYSTEM PUBLIC ${chdr}/include)
target_link_libraries(chdr PUBLIC zlib zstd_decoder lzma_sdk)

# The LZMA SDK's C decoders and 7z archive reader (7-Zip's C/ folder; the encoders stay out). The 7z reader
# decodes LZMA and LZMA2 alone: no branch filters but the BCJ2 that its folder decoder always knows, no PPMd.
set(c7 ${TP}/7zip/C)
third_party_library(lzma_sdk
  ${c7}/7zArcIn.c ${c7}/7zBuf.c ${c7}/7zCrc.c ${c7}/7zCrcOpt.c ${c7}/7zDec.c ${c7}/7zStream.c ${c7}/CpuArch.c
  ${c7}/Bcj2.c ${c7}/Lzma2Dec.c ${c7}/LzmaDec.c)
target_compile_definitions(lzma_sdk PRIVATE Z7_NO_METHODS_FILTERS)
target_include_directories(lzma_sdk SYSTEM PUBLIC ${c7})

# minizip's reader (unzip.c and its file layer); it never decrypts: an encrypted entry is refused by its flag.
set(mz ${TP}/zlib/contrib/minizip)
third_party_library(minizip ${mz}/unzip.c ${mz}/ioapi.c)
target_compile_definitions(minizip PRIVATE NOUNCRYPT)
target_include_directories(minizip SYSTEM PUBLIC ${mz})
target_link_libraries(minizip PUBLIC zlib)

# The CD source reads CHDs, and images inside ZIP and 7z archives.
target_link_libraries(zs_cdsrc PRIVATE chdr PUBLIC minizip lzma_sdk zlib)
