// Whether the game executable is signed: PE32 and PE32+ headers built field by field, ones that end early or
// point away, and (under Wine) the real, unsigned stand-in game.
#include <gtest/gtest.h>

#include "install/install.h"
#include "testutil.h"

// A PE header at 0x80 (optional header magic, directory count, optional-header size, certificate table
// bytes), the file cut to `cut` bytes when given; `at`/`v` then overwrite 4 bytes (a broken signature).
static Bytes pe(uint32_t magic, uint32_t dirs, uint32_t opt_size, uint32_t cert, size_t cut = 0, size_t at = 0,
                uint32_t v = 0) {
    Bytes b(0x400, 0);
    size_t count = 0x98 + (magic == 0x20B ? 108 : 92);
    for (auto f : {std::pair<size_t, uint32_t>{0, 0x5A4D}, {0x3C, 0x80}, {0x80, 0x4550}, {0x94, opt_size},
                   {0x98, magic}, {count, dirs}, {count + 36, 0x400}, {count + 40, cert}})
        put_le(b, f.first, f.second, f.first == 0x94 || f.first == 0x98 ? 2 : 4);
    if (at) put_le(b, at, v, 4);
    if (cut) b.resize(cut);
    return b;
}

TEST(ExeSigned, CertificateTableOfBothHeaderForms) {
    const size_t pe32_entry_end = 0x98 + 92 + 4 + 32 + 8;
    struct Case {
        Bytes exe;
        int want;
        const char *what;
    } cases[] = {
        {pe(0x20B, 16, 240, 0x2000), 1, "PE32+ with a certificate table"},
        {pe(0x10B, 16, 224, 0x2000), 1, "PE32 with a certificate table"},
        {pe(0x20B, 16, 240, 0), 0, "an empty certificate table"},
        {pe(0x20B, 4, 240, 0x2000), 0, "four directories: no certificate table"},
        {pe(0x20B, 16, 108 + 36 + 7, 0x2000), 0, "an optional header that ends inside the table's entry"},
        {pe(0x20B, 16, 108 + 36 + 8, 0x2000), 1, "an optional header that ends with it"},
        {pe(0x10B, 16, 224, 0x2000, pe32_entry_end - 1), 0, "a file that ends inside the entry"},
        {pe(0x10B, 16, 224, 0x2000, pe32_entry_end), 1, "a file that ends with it"},
        {pe(0x107, 16, 240, 0x2000), 0, "an unknown optional-header magic"},
        {pe(0x20B, 16, 240, 0x2000, 0x40), 0, "a file that ends before the PE header"},
        {pe(0x20B, 16, 240, 0x2000, 0, 0x80, 0x4551), 0, "no PE signature"},
        {pe(0x20B, 16, 240, 0x2000, 0, 0x3C, 0x3FE), 0, "e_lfanew near the end"},
        {pe(0x20B, 16, 240, 0x2000, 0, 0x3C, 0xFFFFFFFC), 0, "e_lfanew far past the end"},
        {pe(0x20B, 16, 240, 0x2000, 0, 1, 0), 0, "no MZ"},
        {pe(0x20B, 16, 240, 0x2000, 1), 0, "one byte"},
    };
    for (const Case &c : cases) EXPECT_EQ(exe_signed(c.exe.data(), c.exe.size()), c.want) << c.what;
    EXPECT_EQ(exe_signed(nullptr, 0), 0);
}

#ifdef _WIN32
TEST(ExeSigned, TheStandInGameIsUnsigned) {
    std::string game = contents("standin\\zarnith.exe");
    ASSERT_TRUE(game != NO_FILE && !game.empty()) << "run from the build folder: standin\\zarnith.exe is needed";
    EXPECT_EQ(exe_signed(reinterpret_cast<const uint8_t *>(game.data()), game.size()), 0);
}
#endif
