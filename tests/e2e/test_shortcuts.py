"""The game's two shortcuts after silent installs: where they are, what they hold, which the switches
leave out, and that a later install replaces them."""
import os
import unittest

import e2e

LINK = "Tovek Zarnith.lnk"


lnkinfo = e2e.lnkinfo


class Shortcuts(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cd = cls.wp.winpath(e2e.sample_tree())
        cls.startmenu = cls.wp.user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                                           LINK)
        cls.desktop = cls.wp.user_folder("Desktop", LINK)

    def setUp(self):
        for link in (self.startmenu, self.desktop):
            if os.path.lexists(link):
                os.unlink(link)

    def install(self, folder, *switches):
        rc = e2e.run_setup(self.wp, ["/silent", "/cd", self.cd, "/dir", folder] + list(switches))
        self.assertEqual(rc, 0, "silent install into %s" % folder)

    def assert_link(self, path, folder):
        self.assertTrue(os.path.isfile(path), path)
        info = lnkinfo(path)
        self.assertEqual(info.get("Local path"), folder + "\\zarnith.exe")
        self.assertEqual(info.get("Working directory"), folder)
        self.assertEqual(info.get("Description"), "Tovek Zarnith")
        self.assertEqual(info.get("Icon location"), folder + "\\zarnith.exe")
        self.assertEqual(info.get("Icon index"), "0")

    def test_both_links_then_replaced_by_the_next_install(self):
        first = "C:\\Games\\Tovek Zarnith PC"
        self.install(first)
        self.assert_link(self.startmenu, first)
        self.assert_link(self.desktop, first)

        second = "C:\\Other Games\\Zarnith Again"
        self.install(second)
        self.assert_link(self.startmenu, second)
        self.assert_link(self.desktop, second)
        # One link per folder, right in it: no subfolder, no second name.
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.desktop)) if n.endswith(".lnk")], [LINK])
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.startmenu)) if n.endswith(".lnk")], [LINK])

    def test_switches_leave_out_their_link(self):
        folder = "C:\\Games\\Switches"
        self.install(folder, "/nodesktop")
        self.assert_link(self.startmenu, folder)
        self.assertFalse(os.path.lexists(self.desktop), "/nodesktop made the desktop link")

        self.setUp()
        self.install(folder, "/NOSTARTMENU")
        self.assert_link(self.desktop, folder)
        self.assertFalse(os.path.lexists(self.startmenu), "/nostartmenu made the Start-menu link")

        self.setUp()
        self.install(folder, "/nostartmenu", "/nodesktop")
        self.assertFalse(os.path.lexists(self.startmenu))
        self.assertFalse(os.path.lexists(self.desktop))

        # A link left out keeps what an earlier install made there.
        self.install("C:\\Games\\Earlier")
        self.install(folder, "/nodesktop")
        self.assert_link(self.startmenu, folder)
        self.assert_link(self.desktop, "C:\\Games\\Earlier")


if __name__ == "__main__":
    e2e.main()
