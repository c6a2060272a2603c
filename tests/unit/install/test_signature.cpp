// Whether the game executable is signed: the certificate table of PE32 and PE32+ headers built field by
// field, headers that end early or point away, and (under Wine) the real, unsigned stand-in game.
#include <gtest/gtest.h>

#include "install/install.h"
#include "testutil.h"

namespace {

// A PE header at 0x80 with the given optional-header magic, directory count, optional-header size and
// certificate table size (0x400 bytes in at its offset); the file is cut to `cut` bytes when given.
Bytes pe(uint32_t magic, uint32_t dirs, uint32_t optional_size, uint32_t cert_bytes, size_t cut = 0) {
    Bytes b(0x400, 0);
    put_le(b, 0, 0x5A4D, 2);
    put_le(b, 0x3C, 0x80, 4);
    put_le(b, 0x80, 0x4550, 4);
    put_le(b, 0x80 + 4 + 16, optional_size, 2);
    size_t opt = 0x80 + 24, count = magic == 0x20B ? 108 : 92;
    put_le(b, opt, magic, 2);
    put_le(b, opt + count, dirs, 4);
    put_le(b, opt + count + 4 + 4 * 8, 0x400, 4);
    put_le(b, opt + count + 4 + 4 * 8 + 4, cert_bytes, 4);
    if (cut) b.resize(cut);
    return b;
}

}  // namespace

TEST(ExeSigned, CertificateTableOfBothHeaderForms) {
    struct Case {
        Bytes exe;
        int want;
        const char *what;
    } cases[] = {
        {pe(0x20B, 16, 240, 0x2000), 1, "PE32+ with a certificate table"},
        {pe(0x10B, 16, 224, 0x2000), 1, "PE32 with a certificate table"},
        {pe(0x20B, 16, 240, 0), 0, "an empty certificate table"},
        {pe(0x20B, 4, 240, 0x2000), 0, "four directories: no certificate table"},
        {pe(0x20B, 16, 112 + 32 + 7, 0x2000), 0, "an optional header that ends inside the table's entry"},
        {pe(0x20B, 16, 112 + 32 + 8, 0x2000), 1, "an optional header that ends with it"},
        {pe(0x10B, 16, 224, 0x2000, 0x80 + 24 + 96 + 32 + 7), 0, "a file that ends inside the entry"},
        {pe(0x10B, 16, 224, 0x2000, 0x80 + 24 + 96 + 32 + 8), 1, "a file that ends with it"},
        {pe(0x107, 16, 240, 0x2000), 0, "an unknown optional-header magic"},
        {pe(0x20B, 16, 240, 0x2000, 0x40), 0, "a file that ends before the PE header"},
    };
    for (const Case &c : cases) EXPECT_EQ(exe_signed(c.exe.data(), c.exe.size()), c.want) << c.what;

    Bytes exe = pe(0x20B, 16, 240, 0x2000);
    put_le(exe, 0, 0x5A4E, 2);
    EXPECT_EQ(exe_signed(exe.data(), exe.size()), 0) << "no MZ";
    exe = pe(0x20B, 16, 240, 0x2000);
    put_le(exe, 0x80, 0x4551, 4);
    EXPECT_EQ(exe_signed(exe.data(), exe.size()), 0) << "no PE signature";
    for (uint32_t lfanew : {0x3FEu, 0xFFFFFFFCu}) {
        put_le(exe, 0x3C, lfanew, 4);
        EXPECT_EQ(exe_signed(exe.data(), exe.size()), 0) << "e_lfanew " << lfanew;
    }
    EXPECT_EQ(exe_signed(nullptr, 0), 0);
}

#ifdef _WIN32
TEST(ExeSigned, TheStandInGameIsUnsigned) {
    std::string game = contents("standin\\zarnith.exe");
    ASSERT_TRUE(game != NO_FILE && !game.empty()) << "run from the build folder: standin\\zarnith.exe is needed";
    EXPECT_EQ(exe_signed(reinterpret_cast<const uint8_t *>(game.data()), game.size()), 0);
}
#endif
