// Images inside containers on hand-made bytes: ZIP archives (stored and deflated entries, sheets that name
// their data inside the archive, several images), ECM records, and the damage each must be refused for.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cdsrc/cdsrc.h"
#include "cdsrc/cdsrc_internal.h"
#include "iso_builder.h"
#include "testutil.h"
#include "zlib.h"

namespace {

// One entry of a ZIP made here (APPNOTE 4.3): stored, or deflated when `deflate`; `crc_xor` spoils its CRC,
// `claim` replaces its declared sizes, `flags` and `method` are written as given.
struct Entry {
    std::string name;
    Bytes data;
    bool deflate = false;
    uint32_t crc_xor = 0;
    uint16_t flags = 0;
    int method = -1;
    int64_t claim = -1;
};

Bytes deflated(const Bytes &data) {
    z_stream z = {};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, data.size()));
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes zip_of(const std::vector<Entry> &entries) {
    Bytes zip, central;
    for (const Entry &e : entries) {
        Bytes body = e.deflate ? deflated(e.data) : e.data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, e.data.data(), static_cast<uInt>(e.data.size()))) ^ e.crc_xor;
        uint64_t csize = e.claim >= 0 ? e.claim : body.size(), usize = e.claim >= 0 ? e.claim : e.data.size();
        int method = e.method >= 0 ? e.method : e.deflate ? 8 : 0;
        auto header = [&](Bytes &b, size_t at, bool in_central) {
            put_le(b, at, in_central ? 0x02014b50 : 0x04034b50, 4);
            size_t f = at + (in_central ? 6 : 4);  // the fields both headers share, from "version needed"
            put_le(b, f, 20, 2);
            put_le(b, f + 2, e.flags, 2);
            put_le(b, f + 4, method, 2);
            put_le(b, f + 10, crc, 4);
            put_le(b, f + 14, csize, 4);
            put_le(b, f + 18, usize, 4);
            put_le(b, f + 22, e.name.size(), 2);
        };
        size_t local = zip.size();
        header(zip, local, false);
        zip.resize(local + 30);
        zip.insert(zip.end(), e.name.begin(), e.name.end());
        zip.insert(zip.end(), body.begin(), body.end());
        size_t c = central.size();
        header(central, c, true);
        put_le(central, c + 42, local, 4);
        central.resize(c + 46);
        central.insert(central.end(), e.name.begin(), e.name.end());
    }
    size_t at = zip.size();
    zip.insert(zip.end(), central.begin(), central.end());
    size_t end = zip.size();
    put_le(zip, end, 0x06054b50, 4);
    put_le(zip, end + 8, entries.size(), 2);
    put_le(zip, end + 10, entries.size(), 2);
    put_le(zip, end + 12, central.size(), 4);
    put_le(zip, end + 16, at, 4);
    put_le(zip, end + 20, 0, 2);
    return zip;
}

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

const std::string TRACK1 = "  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n";

// The EDC of ECMA-130 14.3, bit by bit: what the decoder's table must give.
uint32_t edc(const uint8_t *p, size_t n, uint32_t e = 0) {
    for (size_t i = 0; i < n; ++i) {
        e ^= p[i];
        for (int k = 0; k < 8; ++k) e = (e >> 1) ^ ((e & 1) ? 0xD8018001u : 0);
    }
    return e;
}

// An ECM record's type and count as the format codes them.
std::string ecm_count(int kind, uint32_t n) {
    uint32_t v = n - 1;
    std::string out(1, static_cast<char>(((v & 0x1F) << 2) | kind | (v >> 5 ? 0x80 : 0)));
    for (v >>= 5; v; v >>= 7) out += static_cast<char>((v & 0x7F) | (v >> 7 ? 0x80 : 0));
    return out;
}
const std::string ECM_END = "\xFC\xFF\xFF\xFF\x3F";

class Containers : public ::testing::Test {
  protected:
    TempDir dir;
    std::string tmp = dir.path();
    LogCapture captured;
    Iso iso = iso_of({{"A.DAT", pattern(70000, 1)}, {"B.DAT", pattern(3000, 2)}});

    // "<description> | A.DAT" when the path opens (the n-th image) and reads, else "why: <line>".
    std::string open(const std::string &name, int n = -1) {
        char why[LOG_BUF] = "";
        std::string path = tmp + "\\" + name;
        CdSrc *s = n < 0 ? cd_open_why(path.c_str(), why, sizeof why)
                         : cd_open_nth(path.c_str(), static_cast<uint32_t>(n), why, sizeof why);
        if (!s) return std::string("why: ") + why;
        uint64_t size = 0;
        uint8_t *a = cd_read(s, "A.DAT", &size);
        std::string seen = std::string(cd_describe(s)).substr(6 + tmp.size() + 1) + " |" +
                           (a && Bytes(a, a + size) == pattern(70000, 1) ? " A.DAT" : " no A.DAT") +
                           (s->images > 1 ? " of " + std::to_string(s->images) : "");
        free(a);
        cd_close(s);
        return seen;
    }
    // The copy of the whole CD: 1/0, and the last line it logged.
    std::pair<int, std::string> copy(const std::string &name) {
        std::string path = tmp + "\\" + name;
        CdSrc *s = cd_open(path.c_str());
        if (!s) return {0, "not opened"};
        int ok = cd_copy_all(s, (tmp + "\\out-" + name).c_str(), nullptr);
        cd_close(s);
        std::string log = captured.text();
        size_t from = log.rfind('\n', log.size() - 2);
        return {ok, log.substr(from == std::string::npos ? 0 : from + 1)};
    }
};

}  // namespace

TEST_F(Containers, ArchiveLookupsFindTheImageAndWhatItsSheetNames) {
    Bytes bin = raw(iso.img, 1);
    put(tmp + "\\plain.zip", zip_of({{"readme.txt", bytes_of("hello")}, {"game.iso", iso.img}}));
    // The sheet's FILE in another letter case, in a folder of the archive, the BIN deflated.
    put(tmp + "\\sheet.zip", zip_of({{"disc/Game.CUE", bytes_of("FILE \"GAME.BIN\" BINARY\r\n" + TRACK1)},
                                     {"disc/game.bin", bin, true}}));
    // A sheet written elsewhere names its old place: the BIN beside it in the archive is taken.
    put(tmp + "\\moved.zip", zip_of({{"game.bin", bin}, {"x/game.cue", bytes_of("FILE \"D:\\old\\game.bin\" BINARY\r\n" + TRACK1)},
                                     {"x/game.bin", bin}}));
    put(tmp + "\\lost.zip", zip_of({{"game.cue", bytes_of("FILE \"gone.bin\" BINARY\r\n" + TRACK1)}}));
    put(tmp + "\\none.zip", zip_of({{"readme.txt", bytes_of("hello")}}));
    // Several images: the first that opens is taken; the caller may ask for each in turn.
    Iso other = iso_of({{"OTHER.DAT", pattern(10, 3)}});
    put(tmp + "\\two.zip", zip_of({{"other.iso", other.img}, {"cd/game.iso", iso.img, true}}));
    struct Case {
        const char *name;
        int n;
        std::string want;
    } cases[] = {
        {"plain.zip", -1, "plain.zip\\game.iso | A.DAT"},
        {"sheet.zip", -1, "sheet.zip\\disc\\game.bin | A.DAT of 2"},
        {"moved.zip", -1, "moved.zip\\x\\game.bin | A.DAT of 3"},
        {"lost.zip", -1, "why: " + tmp + "\\lost.zip: the sheet names a data file that the archive does not hold"},
        {"none.zip", -1, "why: " + tmp + "\\none.zip: the archive holds no CD image"},
        {"two.zip", -1, "two.zip\\other.iso | no A.DAT of 2"},
        {"two.zip", 1, "two.zip\\cd\\game.iso | A.DAT of 2"},
        {"two.zip", 2, "why: " + tmp + "\\two.zip: the archive holds no CD image"},
        {"plain.zip", 1, "why: " + tmp + "\\plain.zip: the archive holds no CD image"},
    };
    for (const Case &c : cases) EXPECT_EQ(open(c.name, c.n), c.want) << c.name << " " << c.n;
}

TEST_F(Containers, ADeflatedImageReadsBackwardsAndCopiesWhole) {
    put(tmp + "\\d.zip", zip_of({{"game.iso", iso.img, true}}));
    CdSrc *s = cd_open((tmp + "\\d.zip").c_str());
    ASSERT_NE(s, nullptr);
    // B.DAT lies after A.DAT: reading it first and A.DAT after starts the stream again.
    for (const char *name : {"B.DAT", "A.DAT", "B.DAT"}) {
        uint64_t n = 0;
        uint8_t *d = cd_read(s, name, &n);
        ASSERT_NE(d, nullptr) << name;
        EXPECT_EQ(Bytes(d, d + n), name[0] == 'A' ? pattern(70000, 1) : pattern(3000, 2)) << name;
        free(d);
    }
    Tally t;
    EXPECT_EQ(cd_copy_all(s, (tmp + "\\out").c_str(), &t.p), 1);
    EXPECT_EQ(t.p.done, 73000u);
    EXPECT_EQ(contents(dir.host("out/A.DAT")), str(pattern(70000, 1)));
    cd_close(s);
}

TEST_F(Containers, FilesLargerThanTheDecodersWindowCopyWhole) {
    // Files larger than the window that keeps decoded bytes, between small ones, the folder after them (the
    // walk leaves the window at the image's end): asked for four workers, the copy reads them in disc order
    // while decoding runs ahead, and every byte comes out where it belongs.
    std::vector<std::pair<std::string, Bytes>> files;
    for (int i = 0; i < 9; ++i)
        files.push_back({"F" + std::to_string(i) + ".DAT", pattern(i % 3 == 1 ? (6u << 20) + 777 * i : 5000 + i, 10 + i)});
    Iso big = iso_of(files);
    put(tmp + "\\big.zip", zip_of({{"game.iso", big.img, true}}));
    CdSrc *s = cd_open((tmp + "\\big.zip").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cd_copy_all_with(s, (tmp + "\\out").c_str(), nullptr, 4), 1) << captured.text();
    cd_close(s);
    for (auto &f : files) EXPECT_EQ(contents(dir.host("out/" + f.first)), str(f.second)) << f.first;
}

TEST_F(Containers, DamagedArchivesNeverCopy) {
    Bytes zip = zip_of({{"game.iso", iso.img}});
    put(tmp + "\\cut.zip", Bytes(zip.begin(), zip.begin() + zip.size() / 2));
    put(tmp + "\\locked.zip", zip_of({{"game.iso", iso.img, false, 0, 1}}));
    put(tmp + "\\bzip2.zip", zip_of({{"game.iso", iso.img, false, 0, 0, 12}}));
    put(tmp + "\\huge.zip", zip_of({{"game.iso", iso.img, false, 0, 0, -1, 0xFFFFFFF0}}));
    put(tmp + "\\crc.zip", zip_of({{"game.iso", iso.img, false, 1}}));
    put(tmp + "\\crcd.zip", zip_of({{"game.iso", iso.img, true, 1}}));
    for (auto c : {std::make_pair("cut.zip", "the archive is damaged or cut short"),
                   std::make_pair("locked.zip", "the archive is encrypted"),
                   std::make_pair("bzip2.zip", "the archive uses a compression method this setup cannot decode"),
                   std::make_pair("huge.zip", "the archive declares sizes beyond its own size")})
        EXPECT_EQ(open(c.first), "why: " + tmp + "\\" + c.first + ": " + c.second);
    // A CRC that does not match is found when the whole image has been read: after the files, the copy fails.
    for (const char *name : {"crc.zip", "crcd.zip"}) {
        auto r = copy(name);
        EXPECT_EQ(r.first, 0) << name;
        EXPECT_EQ(r.second, tmp + "\\" + name + "\\game.iso: the archive is damaged: the image's CRC does not match\n");
    }
}

TEST_F(Containers, EcmRecordsComeBackAsTheirSectors) {
    // 16 bytes as they are, a Mode 1 sector, a Mode 2 Form 1 and a Form 2 sector body, then the end.
    Bytes data1 = pattern(2048, 5), data2 = pattern(2048, 6), data3 = pattern(2324, 7);
    std::string body = ecm_count(0, 16) + std::string(16, 'h') + ecm_count(1, 1) + "\x01\x02\x03" + str(data1) +
                       ecm_count(2, 1) + std::string("\0\0\x08\0", 4) + str(data2) + ecm_count(3, 1) +
                       std::string("\0\0\x20\0", 4) +
                       str(data3) + ECM_END;
    auto decode = [&](const std::string &ecm, Bytes *out) {
        put(tmp + "\\x.ecm", ecm);
        pf_file f = pf_open_read((tmp + "\\x.ecm").c_str(), 0);
        const char *why = nullptr;
        ByteSource *b = ecm_open(bytes_span(f, 0, ecm.size(), 1), &why);
        if (!b) return std::string(why);
        out->assign(b->size, 0);
        uint32_t got = 0;
        int ok = b->ops->read_at(b, 0, out->data(), static_cast<uint32_t>(b->size), &got) && b->ops->finish(b);
        std::string result = ok ? "ok" : b->why;
        bytes_close(b);
        return result;
    };
    Bytes out;
    // The EDC at the end covers every byte the records stand for: with a wrong one, the stream fails.
    EXPECT_EQ(decode("ECM" + std::string(1, '\0') + body + std::string(4, '\0'), &out),
              "the ECM file is damaged: its check (EDC) does not match");
    ASSERT_EQ(out.size(), 16u + 2352 + 2336 + 2336);
    const uint8_t *m1 = &out[16], *f1 = m1 + 2352, *f2 = f1 + 2336;
    EXPECT_EQ(std::string(out.begin(), out.begin() + 16), std::string(16, 'h'));
    EXPECT_EQ(Bytes(m1, m1 + 16), bytes_of(std::string("\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\0\x01\x02\x03\x01", 16)));
    EXPECT_EQ(Bytes(m1 + 16, m1 + 2064), data1);
    EXPECT_EQ(read_le(m1 + 2064, 4), edc(m1, 2064));
    EXPECT_EQ(Bytes(f1, f1 + 8), bytes_of(std::string("\0\0\x08\0\0\0\x08\0", 8)));
    EXPECT_EQ(Bytes(f1 + 8, f1 + 2056), data2);
    EXPECT_EQ(read_le(f1 + 2056, 4), edc(f1, 2056));
    EXPECT_EQ(Bytes(f2 + 8, f2 + 2332), data3);
    EXPECT_EQ(read_le(f2 + 2332, 4), edc(f2, 2332));
    std::string stamp;
    put_le(stamp, 0, edc(out.data(), out.size()), 4);
    EXPECT_EQ(decode("ECM" + std::string(1, '\0') + body + stamp, &out), "ok");
    // Cut anywhere, or a count beyond the file: refused when opened.
    EXPECT_EQ(decode("ECM" + std::string(1, '\0') + body.substr(0, 40), &out), "the ECM file is cut short");
    EXPECT_EQ(decode("ECM" + std::string(1, '\0') + ecm_count(1, 1000000) + "abc" + ECM_END + stamp, &out),
              "the ECM file is cut short");
    EXPECT_EQ(decode("ECM" + std::string(1, '\0') + "\xFF\xFF\xFF\xFF\xFF\xFF" + stamp, &out), "the ECM file is damaged");
    EXPECT_EQ(decode("ECN" + std::string(1, '\0') + ECM_END + stamp, &out), "the ECM file is damaged");
}
