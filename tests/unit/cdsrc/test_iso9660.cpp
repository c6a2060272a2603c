// The ISO 9660 reader's Joliet tree: the names Windows shows for a disc in a drive, converted exactly,
// and the primary tree where there is no usable Joliet one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdsrc/cdsrc.h"
#include "iso_builder.h"
#include "testutil.h"
#include "util/util.h"

namespace {

// A Joliet identifier: UTF-16 big-endian, a file's with ";1".
std::string ucs2(const std::u16string &name) {
    std::string out;
    for (char16_t c : name) {
        out += static_cast<char>(c >> 8);
        out += static_cast<char>(c & 0xFF);
    }
    return out;
}
Bytes JF(const std::u16string &name, Loc at) { return record(ucs2(name + u";1"), at, false); }
Bytes JD(const std::u16string &name, Loc at) { return record(ucs2(name), at, true); }

// An image with both trees over the same files: 8.3 names in the primary one, the long ones in Joliet's.
// Sector 17 holds the Joliet descriptor (escape "%/E"), sector 18 the terminator.
struct TwoTrees {
    Iso iso;
    Bytes readme = pattern(3000, 4), notes = pattern(5000, 5);

    // extra: one more Joliet file record with this raw identifier, when not empty.
    explicit TwoTrees(const std::string &extra = "") {
        iso.reserve(1);
        Loc a = iso.file(readme), b = iso.file(notes);
        iso.root(iso.dir({F("READ_ME_.TXT", a), D("EXTRAS_F", iso.dir({F("NOTES.TXT", b)}))}));
        Loc inner = iso.dir({JF(u"\u0141\u00f3d\u017a notes.txt", b)});
        std::vector<Bytes> recs = {JF(u"Read me first.txt", a), JD(u"Extras for the game", inner)};
        if (!extra.empty()) recs.push_back(record(extra, a, false));
        joliet(iso.dir(recs));
    }
    void joliet(Loc root) {
        uint8_t *v = iso.sector(17);
        memset(v, 0, 2048);
        v[0] = 2;
        memcpy(v + 1, "CD001", 5);
        memcpy(v + 88, "%/E", 3);
        put_le(iso.img, 17 * 2048 + 156 + 2, root.extent, 4);
        put_le(iso.img, 17 * 2048 + 156 + 10, root.size, 4);
        uint8_t *t = iso.sector(18);
        t[0] = 255;
        memcpy(t + 1, "CD001", 5);
    }
    CdSrc *open() { return cd_open_mem(iso.img.data(), iso.img.size()); }
};

}  // namespace

TEST(Joliet, TheCopyHasTheLongNamesInAnyScript) {
    TwoTrees t;
    CdSrc *s = t.open();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_exists(s, "extras for the game\\\xC5\x81\xC3\xB3" "d\xC5\xBA notes.txt"), 1);
    EXPECT_EQ(cd_exists(s, "READ_ME_.TXT"), 0) << "the primary tree's 8.3 names are not the CD's";
    EXPECT_EQ(cd_total_bytes(s), t.readme.size() + t.notes.size());
    TempDir out;
    ASSERT_EQ(cd_copy_all(s, out.sub("cd").c_str(), nullptr), 1);
    EXPECT_EQ(contents(out.sub("cd\\Read me first.txt")), str(t.readme));
    EXPECT_EQ(contents(out.sub("cd\\Extras for the game\\\xC5\x81\xC3\xB3" "d\xC5\xBA notes.txt")), str(t.notes));
    cd_close(s);
}

TEST(Joliet, ANameThatDoesNotConvertIsUnsafeAndABrokenTreeIsPassedOver) {
    // A lone surrogate, and an odd byte count, convert to no name: the copy refuses them.
    for (const std::string &bad : {ucs2(u"x\xD800y;1"), ucs2(u"ab;1") + "z"}) {
        TwoTrees t(bad);
        CdSrc *s = t.open();
        ASSERT_NE(s, nullptr);
        TempDir out;
        LogCapture log;
        EXPECT_EQ(cd_copy_all(s, out.sub("cd").c_str(), nullptr), 0);
        EXPECT_NE(log.text().find("unsafe name on the CD: \"\""), std::string::npos) << log.text();
        cd_close(s);
    }
    // A Joliet root outside the image leaves the primary tree.
    TwoTrees t;
    put_le(t.iso.img, 17 * 2048 + 156 + 2, 1u << 30, 4);
    CdSrc *s = t.open();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_exists(s, "EXTRAS_F\\NOTES.TXT"), 1);
    cd_close(s);
}

// Rock Ridge entries that change a file's bytes or place are refused with a line that says what the image
// uses, never copied as if they were plain (the compressed bytes, the relocation folder).
// A record with one system use entry (signature, then `fields`) after its identifier.
Bytes with_susp(Bytes rec, const char *sig, const Bytes &fields = {}) {
    Bytes entry = {static_cast<uint8_t>(sig[0]), static_cast<uint8_t>(sig[1]), static_cast<uint8_t>(4 + fields.size()), 1};
    entry.insert(entry.end(), fields.begin(), fields.end());
    rec.insert(rec.end(), entry.begin(), entry.end());
    rec[0] = static_cast<uint8_t>(rec.size());
    return rec;
}
Bytes cl_fields(uint32_t extent) {
    Bytes f(8, 0);
    put_le(f, 0, extent, 4);
    put_be(f, 4, extent, 4);
    return f;
}

TEST(RockRidge, CompressedFilesAreRefusedWithTheirReason) {
    Iso iso;
    iso.root(iso.dir({with_susp(F("A.DAT", iso.file(pattern(100, 3))), "ZF", Bytes(12, 0))}));
    CdSrc *s = cd_open_mem(iso.img.data(), iso.img.size());
    ASSERT_NE(s, nullptr);
    TempDir out;
    LogCapture log;
    EXPECT_EQ(cd_copy_all(s, out.sub("cd").c_str(), nullptr), 0);
    EXPECT_NE(log.text().find("the image uses files stored compressed (zisofs)"), std::string::npos) << log.text();
    EXPECT_FALSE(path_exists(out.sub("cd\\A.DAT").c_str()));
    cd_close(s);
}

// Deep folders that Rock Ridge moved into RR_MOVED go back where their stand-ins (CL) say; RR_MOVED, which
// then holds nothing of the CD, is left out. A stand-in that leads to no folder refuses the image.
TEST(RockRidge, MovedFoldersGoBackWhereTheyBelong) {
    for (bool lost : {false, true}) {
        Iso iso;
        Bytes deep = pattern(5000, 6);
        Loc moved = iso.dir({F("DEEP.DAT", iso.file(deep))});
        // The moved folder begins with its own "." record, as mastering tools write it.
        put_le(iso.img, moved.extent * 2048 + 2, moved.extent, 4);
        put_le(iso.img, moved.extent * 2048 + 10, moved.size, 4);
        iso.img[moved.extent * 2048 + 25] = 2;
        Loc rr = iso.dir({with_susp(D("LEVEL8", moved), "RE")});
        uint32_t link = lost ? rr.extent + 40 : moved.extent;
        Loc level7 = iso.dir({with_susp(F("LEVEL8", {0, 0}), "CL", cl_fields(link))});
        iso.root(iso.dir({D("LEVEL7", level7), D("RR_MOVED", rr)}));
        CdSrc *s = cd_open_mem(iso.img.data(), iso.img.size());
        ASSERT_NE(s, nullptr);
        TempDir out;
        LogCapture log;
        EXPECT_EQ(cd_copy_all(s, out.sub("cd").c_str(), nullptr), lost ? 0 : 1) << log.text();
        EXPECT_FALSE(path_exists(out.sub("cd\\RR_MOVED").c_str()));
        if (lost) {
            EXPECT_NE(log.text().find("the image uses deep folders moved aside by Rock Ridge"), std::string::npos);
        } else {
            EXPECT_EQ(contents(out.sub("cd\\LEVEL7\\LEVEL8\\DEEP.DAT")), str(deep));
            EXPECT_EQ(cd_total_bytes(s), deep.size());
        }
        cd_close(s);
    }
}
