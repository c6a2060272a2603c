"""Folder and user names in any script: silent installs into Cyrillic, Polish and CJK folders from a CD folder
whose own path holds such names, each landing in exactly the named folder and removed again by its uninstaller;
and a user whose profile name lies outside the Western code page still gets the log and both shortcuts.

Wine takes the code page of a program without a UTF-8 manifest from the Unix locale; C.UTF-8 gives 1252 there,
which is the setting under which these names used to turn into '?' or into look-alikes ("Łódź" as "Lódz")."""
import os

import e2e

FOLDERS = [("Игры", "Товек Зарнит"), ("Gry", "Łódź"), ("游戏", "托维克·扎尼特")]


def pinned_locale(wp):
    wp.env["LC_ALL"] = "C.UTF-8"
    return wp


def link_local_path(path):
    """The target path bytes of a .lnk file's link information, in the writer's code page. lnkinfo reads them
    through a Windows code page only; a UTF-8 program writes UTF-8 there."""
    data = e2e.read(path)
    flags = int.from_bytes(data[0x14:0x18], "little")
    pos = 0x4C
    if flags & 1:  # a target ID list comes first
        pos += 2 + int.from_bytes(data[pos:pos + 2], "little")
    if not flags & 2:
        return None
    start = pos + int.from_bytes(data[pos + 16:pos + 20], "little")
    return data[start:data.index(b"\0", start)]


class Names(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        pinned_locale(cls.wp)
        cls.named_cd = cls.cd_copy("CD Łódź Игры 游戏/tree")

    def test_install_and_remove_in_three_scripts(self):
        for parent, name in FOLDERS:
            with self.subTest(folder=name):
                folder = "C:\\%s\\%s" % (parent, name)
                # Exactly that folder, byte for byte, and nothing beside it.
                run = self.assert_installed(self.install(self.named_cd, folder))
                self.assertIn("Install to " + folder, run.log)
                drive = self.wp.c_drive()
                self.assertIn(parent.encode(), os.listdir(drive.encode()))
                self.assertEqual(os.listdir(os.path.join(drive, parent).encode()), [name.encode()])

                values = e2e.uninstall_entry(self.wp) or {}
                self.assertEqual(values.get("InstallLocation"), ("REG_SZ", folder))
                self.assertEqual(values.get("UninstallString"), ("REG_SZ", '"%s\\uninstall.exe" /uninstall' % folder))

                uninstaller = folder + "\\uninstall.exe"
                self.assertEqual(self.wp.run(uninstaller, ["/uninstall", "/quiet"], timeout=120), 0)
                self.wp.wait_idle()
                self.assertFalse(os.path.exists(run.host), "the uninstaller did not remove %s" % folder)
                self.assertIsNone(e2e.uninstall_entry(self.wp), "the uninstall key is left")

    def test_profile_name_outside_the_code_page_gets_log_and_shortcuts(self):
        with e2e.WinePrefix(user="Łukasz Żółć") as wp:
            pinned_locale(wp)
            self.assertEqual(os.path.basename(wp.user_folder()), "Łukasz Żółć")
            folder = "C:\\Gry\\Łódź"
            run = e2e.install(wp, self.named_cd, folder)
            self.assertEqual(run.code, 0)
            self.assertIsNotNone(run.log, "no setup log in the profile's temporary folder")
            self.assertEqual(run.log[-1], "Done.")
            for link in e2e.shortcuts(wp):
                self.assertTrue(os.path.isfile(link), "missing shortcut %s" % link)
                info = e2e.lnkinfo(link)
                self.assertEqual(info.get("Working directory"), folder)
                self.assertEqual(info.get("Icon location"), folder + "\\zarnith.exe")
                self.assertEqual(link_local_path(link), (folder + "\\zarnith.exe").encode())


if __name__ == "__main__":
    e2e.main()
