// The uninstaller's registration and removal, and the shortcut writer, on real folders, the registry
// and the Shell Link object (Windows only: run under Wine by CTest).
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "install/install.h"
#include "testutil.h"
#include "util/util.h"

namespace {

const char *const kKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative";

bool exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A complete installed tree as a removal finds it, with a read-only file deep in the CD copy.
void fake_install(const std::string &dir) {
    for (const char *marker : {"3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS\\INTRO.DAT"})
        put(dir + "\\game\\cd\\" + marker, "x");
    put(dir + "\\game\\cd\\A\\B\\C\\D\\deep.bin", "x");
    put(dir + "\\game\\hd\\GAME.CFG", "x");
    put(dir + "\\game\\hd\\SAVEGAME\\SAVE01.SAV", "x");
    put(dir + "\\game\\cd\\RO.TXT", "x");
    make_read_only(dir + "\\game\\cd\\RO.TXT");
    for (const char *f : {"zarnith.exe", "uninstall.exe", "zarnith_pc.ini", "zarnith.log", "setup.log"})
        put(dir + "\\" + f, "x");
}

// Today in local time as yyyymmdd, by the C library's clock.
std::string local_day() {
    time_t now = time(nullptr);
    char day[16] = "";
    strftime(day, sizeof day, "%Y%m%d", localtime(&now));
    return day;
}

bool key_exists() {
    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

}  // namespace

TEST(Uninstall, RemovesTheInstallAndNothingElse) {
    TempDir t;
    const std::string &root = t.path();
    std::string dir = root + "\\Tovek Zarnith PC";
    fake_install(dir);
    // Neighbours with the same names as the install's own files belong to someone else.
    put(root + "\\zarnith.log", "x");
    put(root + "\\game\\keep.txt", "x");

    EXPECT_EQ(do_uninstall(dir.c_str()), 1);
    EXPECT_FALSE(exists(dir)) << "an install folder with nothing else in it goes";
    EXPECT_TRUE(exists(root + "\\zarnith.log"));
    EXPECT_TRUE(exists(root + "\\game\\keep.txt"));

    // A file of the user's keeps the folder; everything of the install goes all the same.
    fake_install(dir);
    put(dir + "\\my notes.txt", "mine");
    put(dir + "\\zarnith.exe.bak", "x");
    EXPECT_EQ(do_uninstall((dir + "\\").c_str()), 1);
    EXPECT_TRUE(exists(dir + "\\my notes.txt"));
    EXPECT_TRUE(exists(dir + "\\zarnith.exe.bak"));
    EXPECT_FALSE(exists(dir + "\\game"));
    for (const char *f : {"zarnith.exe", "uninstall.exe", "zarnith_pc.ini", "zarnith.log", "setup.log"})
        EXPECT_FALSE(exists(dir + "\\" + f)) << f;
}

TEST(Uninstall, RefusesFoldersThatAreNoInstall) {
    TempDir t;
    const std::string &root = t.path();
    std::string dir = root + "\\inst";
    fake_install(dir);
    // The install's parent looks like an install too: "..", "..." and ". ." must not lead there.
    fake_install(root);

    InFolder in_root(root);
    ASSERT_TRUE(in_root.entered());
    std::vector<std::string> refused = {"", "\\", "inst", ".\\inst", "inst\\..", dir + "\\..", dir + "\\...\\",
                                        dir + "\\. .", dir + "\\..\\inst\\..", "\\\\server\\share",
                                        "\\\\server\\share\\"};
    // Drive-relative and root-relative forms of the install folder.
    refused.push_back(dir.substr(0, 2) + dir.substr(3));
    refused.push_back(dir.substr(2));
    for (const std::string &d : refused) {
        EXPECT_EQ(do_uninstall(d.c_str()), 0) << "'" << d << "'";
        EXPECT_TRUE(exists(root + "\\game\\hd\\SAVEGAME\\SAVE01.SAV")) << "'" << d << "'";
        EXPECT_TRUE(exists(dir + "\\game\\hd\\SAVEGAME\\SAVE01.SAV")) << "'" << d << "'";
        EXPECT_TRUE(exists(root + "\\setup.log")) << "'" << d << "'";
    }

    // A folder too long to hold whole would be cut into another folder's name.
    std::string longdir = dir + "\\" + std::string(600, 'a');
    EXPECT_EQ(do_uninstall(longdir.c_str()), 0);
    EXPECT_TRUE(exists(dir + "\\game\\cd\\RO.TXT"));

    // Without the game or its uninstaller the folder is someone else's: its "game" and logs stay.
    std::string other = root + "\\Downloads";
    put(other + "\\game\\level1.dat", "x");
    put(other + "\\setup.log", "x");
    put(other + "\\zarnith.log", "x");
    EXPECT_EQ(do_uninstall(other.c_str()), 0);
    EXPECT_TRUE(exists(other + "\\game\\level1.dat"));
    EXPECT_TRUE(exists(other + "\\setup.log"));
    EXPECT_TRUE(exists(other + "\\zarnith.log"));

    // A drive root is never taken for an install folder, even when it looks like one.
    std::string drive = root.substr(0, 3);
    if (!exists(drive + "game") && !exists(drive + "zarnith.exe")) {
        put(drive + "game\\hd\\GAME.CFG", "x");
        put(drive + "zarnith.exe", "x");
        EXPECT_EQ(do_uninstall(drive.c_str()), 0);
        EXPECT_EQ(do_uninstall(drive.substr(0, 2).c_str()), 0);
        EXPECT_TRUE(exists(drive + "game\\hd\\GAME.CFG"));
        EXPECT_TRUE(exists(drive + "zarnith.exe"));
        delete_tree((drive + "game").c_str());
        DeleteFileA((drive + "zarnith.exe").c_str());
    }
}

TEST(Uninstall, GameFolderLinkLosesOnlyTheLink) {
    TempDir t;
    const std::string &root = t.path();
    std::string dir = root + "\\inst";
    fake_install(dir);
    delete_tree((dir + "\\game").c_str());
    put(root + "\\elsewhere\\SAVEGAME\\SAVE01.SAV", "x");
    CreateSymbolicLinkA((dir + "\\game").c_str(), (root + "\\elsewhere").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    DWORD attributes = GetFileAttributesA((dir + "\\game").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no folder links here";
    EXPECT_EQ(do_uninstall(dir.c_str()), 1);
    EXPECT_TRUE(exists(root + "\\elsewhere\\SAVEGAME\\SAVE01.SAV"));
    EXPECT_FALSE(exists(dir));
}

TEST(Uninstall, RegistrationWritesTheKeyAndTheCopy) {
    TempDir t;
    const std::string &root = t.path();
    std::string dir = root + "\\Tovek Zarnith PC";
    ASSERT_TRUE(make_dirs(dir.c_str()));
    std::string day_before = local_day();
    register_uninstaller(dir.c_str(), 629145600ull);  // 600 MiB of CD
    std::string day_after = local_day();

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    uint64_t self_size = 0, copy_size = 0;
    uint8_t *a = read_file(self, &self_size);
    uint8_t *b = read_file((dir + "\\uninstall.exe").c_str(), &copy_size);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(self_size == copy_size && memcmp(a, b, self_size) == 0);
    free(a);
    free(b);

    struct Expected {
        const char *name;
        DWORD type;
        std::string text;
        DWORD number;
    };
    const Expected values[] = {
        {"DisplayName", REG_SZ, "Tovek Zarnith (PC Native)", 0},
        {"DisplayVersion", REG_SZ, ZARNITH_VERSION, 0},
        {"UninstallString", REG_SZ, "\"" + dir + "\\uninstall.exe\" /uninstall", 0},
        {"QuietUninstallString", REG_SZ, "\"" + dir + "\\uninstall.exe\" /uninstall /quiet", 0},
        {"DisplayIcon", REG_SZ, dir + "\\zarnith.exe,0", 0},
        {"InstallLocation", REG_SZ, dir, 0},
        {"Publisher", REG_SZ, "PC Native port (fan project)", 0},
        {"EstimatedSize", REG_DWORD, "", 634880},
        {"NoModify", REG_DWORD, "", 1},
        {"NoRepair", REG_DWORD, "", 1},
    };
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &k), ERROR_SUCCESS);
    for (const Expected &e : values) {
        DWORD type = 0, size = 0;
        BYTE data[1024];
        size = sizeof data;
        ASSERT_EQ(RegQueryValueExA(k, e.name, nullptr, &type, data, &size), ERROR_SUCCESS) << e.name;
        EXPECT_EQ(type, e.type) << e.name;
        if (e.type == REG_SZ) {
            EXPECT_EQ(size, e.text.size() + 1) << e.name << ": the byte count holds the NUL";
            EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), e.text + std::string(1, '\0')) << e.name;
        } else {
            ASSERT_EQ(size, 4u) << e.name;
            DWORD v;
            memcpy(&v, data, 4);
            EXPECT_EQ(v, e.number) << e.name;
        }
    }
    DWORD count = 0;
    EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 11u);
    RegCloseKey(k);
    // The day of the install, as the list of installed apps shows it (a run may cross midnight).
    char day[16] = "";
    DWORD size = sizeof day;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, kKey, "InstallDate", RRF_RT_REG_SZ, nullptr, day, &size), ERROR_SUCCESS);
    EXPECT_TRUE(day == day_before || day == day_after) << day << " is not today, " << day_after;

    // The size keeps the low 32 bits of the KiB count: 4 TiB + 20 MiB of bytes wraps to 20 MiB.
    register_uninstaller(dir.c_str(), 1ull << 42);
    DWORD v = 0;
    size = sizeof v;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, kKey, "EstimatedSize", RRF_RT_REG_DWORD, nullptr, &v, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 20480u);

    // The removal takes the key away with the rest.
    EXPECT_EQ(do_uninstall(dir.c_str()), 1);
    EXPECT_FALSE(key_exists());
    EXPECT_FALSE(exists(dir));
}

TEST(Shortcuts, LinkNameInTheAnsiCodePageIsSavedAsIs) {
    if (GetACP() != 1252) GTEST_SKIP() << "the test name needs code page 1252";
    TempDir t;
    const std::string &root = t.path();
    std::string link = root + "\\Zarnith \xE9t\xE9.lnk";  // "Zarnith été.lnk"
    std::string target = root + "\\zarnith.exe";
    put(target, "x");
    CoInitialize(nullptr);
    std::string icon_file = root + "\\zarnith.ico";
    make_link(link.c_str(), target.c_str(), root.c_str(), icon_file.c_str());
    make_link("", target.c_str(), root.c_str(), target.c_str());  // a shell folder that could not be found: nothing

    std::wstring wide(root.begin(), root.end());
    wide += L"\\Zarnith \u00e9t\u00e9.lnk";
    EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);

    IShellLinkA *sl = nullptr;
    IPersistFile *pf = nullptr;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                           reinterpret_cast<void **>(&sl))));
    ASSERT_TRUE(SUCCEEDED(sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pf))));
    ASSERT_TRUE(SUCCEEDED(pf->Load(wide.c_str(), STGM_READ)));
    char text[MAX_PATH];
    int icon = -1;
    sl->GetPath(text, sizeof text, nullptr, 0);
    EXPECT_STREQ(text, target.c_str());
    sl->GetWorkingDirectory(text, sizeof text);
    EXPECT_STREQ(text, root.c_str());
    sl->GetDescription(text, sizeof text);
    EXPECT_STREQ(text, "Tovek Zarnith");
    sl->GetIconLocation(text, sizeof text, &icon);
    EXPECT_STREQ(text, icon_file.c_str());
    EXPECT_EQ(icon, 0);
    pf->Release();
    sl->Release();
    CoUninitialize();
}

#endif
