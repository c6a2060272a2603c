// The front end's name conversion: a name the code page cannot hold exactly is refused, never replaced
// by a look-alike that names another folder.
#include <gtest/gtest.h>

#include <cstring>

#include "setup.h"

#ifdef _WIN32
#include <windows.h>

TEST(WideToCodePage, RefusesLookAlikesAndDefaultsAndKeepsExactNames) {
    char out[32];
    // Western code page: "Café" exists in it byte for byte.
    ASSERT_EQ(wide_to_code_page(1252, L"C:\\Caf\u00e9", out, sizeof out), 1);
    EXPECT_STREQ(out, "C:\\Caf\xe9");
    // Best-fit would make "Łódź" into "Lódz" and install into that other folder; Cyrillic and CJK
    // would become "?" (a wildcard, not even a name).
    const wchar_t *foreign[] = {L"C:\\Gry\\\u0141\u00f3d\u017a", L"C:\\\u0418\u0433\u0440\u044b",
                                L"C:\\\u6e38\u620f"};
    for (const wchar_t *w : foreign) {
        memset(out, 'x', sizeof out);
        EXPECT_EQ(wide_to_code_page(1252, w, out, sizeof out), 0) << "a look-alike name was accepted";
        EXPECT_STREQ(out, "") << "a refused name must not leave a usable path behind";
    }
    // UTF-8 holds them all, byte-exact.
    ASSERT_EQ(wide_to_code_page(CP_UTF8, L"C:\\Gry\\\u0141\u00f3d\u017a", out, sizeof out), 1);
    EXPECT_STREQ(out, "C:\\Gry\\\xc5\x81\xc3\xb3" "d\xc5\xba");
    ASSERT_EQ(wide_to_code_page(CP_UTF8, L"\u6e38\u620f", out, sizeof out), 1);
    EXPECT_STREQ(out, "\xe6\xb8\xb8\xe6\x88\x8f");
    // A lone surrogate has no UTF-8 form (it would become U+FFFD).
    const wchar_t lone[] = {L'A', 0xD800, L'B', 0};
    EXPECT_EQ(wide_to_code_page(CP_UTF8, lone, out, sizeof out), 0);
    // A name that does not fit is refused rather than cut into the name of its parent folder.
    EXPECT_EQ(wide_to_code_page(1252, L"C:\\Games\\Tovek", out, 9), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(wide_to_code_page(CP_UTF8, L"\u0141\u0141\u0141\u0141", out, 8), 0);
    EXPECT_EQ(wide_to_code_page(1252, L"", out, 1), 1);
    EXPECT_EQ(wide_to_code_page(1252, L"A", out, 0), 0);
}
#endif
