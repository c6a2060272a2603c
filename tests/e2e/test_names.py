"""Folder and user names in any script: silent installs into Cyrillic, Polish and CJK folders from a CD folder
whose own path holds such names, each landing in exactly the named folder and removed again by its uninstaller;
and a user whose profile name lies outside the Western code page still gets the log and both shortcuts.

Wine takes the code page of a program without a UTF-8 manifest from the Unix locale; C.UTF-8 gives 1252 there,
which is the setting under which these names used to turn into '?' or into look-alikes ("Łódź" as "Lódz")."""
import os
import re

import e2e

KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative"
LINK = "Tovek Zarnith.lnk"
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


def reg_values(text):
    """{name: value} of the string values in a 'reg export' text."""
    return {m.group(1): re.sub(r"\\(.)", r"\1", m.group(2))
            for m in re.finditer(r'^"([^"]+)"="(.*)"\r?$', text or "", re.M)}


class Names(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        pinned_locale(cls.wp)
        cls.tree = e2e.sample_tree()
        cls.cd = os.path.join(cls.tmp, "CD Łódź Игры 游戏", "tree")
        os.makedirs(os.path.dirname(cls.cd))
        e2e.copy_tree(cls.tree, cls.cd)
        # What a complete install copies: the CD down to the folder depth the setup copies.
        cls.expect = os.path.join(cls.tmp, "expect")
        e2e.limit_depth(cls.tree, cls.expect)

    def test_install_and_remove_in_three_scripts(self):
        for parent, name in FOLDERS:
            with self.subTest(folder=name):
                folder = "C:\\%s\\%s" % (parent, name)
                rc = e2e.run_setup(self.wp, ["/silent", "/cd", self.wp.winpath(self.cd), "/dir", folder])
                self.assertEqual(rc, 0, "silent install into %s" % folder)
                log = e2e.read(e2e.temp_folder(self.wp, "zarnith_setup.log")).decode("utf-8").split("\r\n")
                self.assertIn("Install to " + folder, log)
                # Exactly that folder, byte for byte, and nothing beside it.
                drive = self.wp.c_drive()
                self.assertIn(parent.encode(), os.listdir(drive.encode()))
                self.assertEqual(os.listdir(os.path.join(drive, parent).encode()), [name.encode()])
                host = self.wp.c_drive(parent, name)
                self.assertEqual(e2e.tree_differences(self.expect, os.path.join(host, "game", "cd")), [])
                self.assertTrue(os.path.isfile(os.path.join(host, "zarnith.exe")))

                values = reg_values(self.wp.reg_export(KEY))
                self.assertEqual(values.get("InstallLocation"), folder)
                self.assertEqual(values.get("UninstallString"), '"%s\\uninstall.exe" /uninstall' % folder)

                uninstaller = folder + "\\uninstall.exe"
                self.assertEqual(self.wp.run(uninstaller, ["/uninstall", "/quiet"], timeout=120), 0)
                self.wp.wait_idle()
                self.assertFalse(os.path.exists(host), "the uninstaller did not remove %s" % folder)
                self.assertIsNone(self.wp.reg_export(KEY), "the uninstall key is left")

    def test_profile_name_outside_the_code_page_gets_log_and_shortcuts(self):
        with e2e.WinePrefix(user="Łukasz Żółć") as wp:
            pinned_locale(wp)
            self.assertEqual(os.path.basename(wp.user_folder()), "Łukasz Żółć")
            folder = "C:\\Gry\\Łódź"
            rc = e2e.run_setup(wp, ["/silent", "/cd", wp.winpath(self.cd), "/dir", folder])
            self.assertEqual(rc, 0)
            log = e2e.setup_log(wp)
            self.assertIsNotNone(log, "no setup log in the profile's temporary folder")
            self.assertEqual(log[-1], "Done.")
            links = [wp.user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs", LINK),
                     wp.user_folder("Desktop", LINK)]
            for link in links:
                self.assertTrue(os.path.isfile(link), "missing shortcut %s" % link)
                info = e2e.lnkinfo(link)
                self.assertEqual(info.get("Working directory"), folder)
                self.assertEqual(info.get("Icon location"), folder + "\\zarnith.exe")
                self.assertEqual(link_local_path(link), (folder + "\\zarnith.exe").encode())


if __name__ == "__main__":
    e2e.main()
