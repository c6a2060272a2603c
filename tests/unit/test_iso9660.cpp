// The ISO 9660 reader's Joliet tree: the names Windows shows for a disc in a drive, converted exactly,
// and the primary tree where there is no usable Joliet one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdsrc.h"
#include "iso_builder.h"
#include "testutil.h"
#include "util.h"

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
TEST(RockRidge, CompressedFilesAndRelocatedFoldersAreRefusedWithTheirReason) {
    struct Case {
        const char *sig;
        const char *what;
    } cases[] = {{"ZF", "files stored compressed (zisofs)"}, {"CL", "deep folders moved aside by Rock Ridge"}};
    for (const Case &c : cases) {
        Iso iso;
        Bytes rec = F("A.DAT", iso.file(pattern(100, 3)));  // "A.DAT;1": an odd count, so no padding byte
        Bytes entry(12, 0);
        memcpy(entry.data(), c.sig, 2);
        entry[2] = 12;
        entry[3] = 1;
        rec.insert(rec.end(), entry.begin(), entry.end());
        rec[0] = static_cast<uint8_t>(rec.size());
        iso.root(iso.dir({rec}));
        CdSrc *s = cd_open_mem(iso.img.data(), iso.img.size());
        ASSERT_NE(s, nullptr);
        TempDir out;
        LogCapture log;
        EXPECT_EQ(cd_copy_all(s, out.sub("cd").c_str(), nullptr), 0) << c.sig;
        EXPECT_NE(log.text().find(std::string("the image uses ") + c.what), std::string::npos) << log.text();
        EXPECT_FALSE(path_exists(out.sub("cd\\A.DAT").c_str()));
        cd_close(s);
    }
}
