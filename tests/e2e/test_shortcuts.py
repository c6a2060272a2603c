"""The game's two shortcuts after silent installs: where they are, what they hold, which the switches
leave out, and that a later install replaces them."""
import os

import e2e

class Shortcuts(e2e.WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.startmenu, cls.desktop = e2e.shortcuts(cls.wp)

    def setUp(self):
        e2e.remove_shortcuts(self.wp)

    def assert_link(self, path, folder):
        self.assertTrue(os.path.isfile(path), path)
        info = e2e.lnkinfo(path)
        self.assertEqual(info.get("Local path"), folder + "\\zarnith.exe")
        self.assertEqual(info.get("Working directory"), folder)
        self.assertEqual(info.get("Description"), "Tovek Zarnith")
        self.assertEqual(info.get("Icon location"), folder + "\\zarnith.exe")
        self.assertEqual(info.get("Icon index"), "0")

    def test_both_links_then_replaced_by_the_next_install(self):
        first = "C:\\Games\\Tovek Zarnith PC"
        self.installed(self.cd, first)
        self.assert_link(self.startmenu, first)
        self.assert_link(self.desktop, first)

        second = "C:\\Other Games\\Zarnith Again"
        self.installed(self.cd, second)
        self.assert_link(self.startmenu, second)
        self.assert_link(self.desktop, second)
        # One link per folder, right in it: no subfolder, no second name.
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.desktop)) if n.endswith(".lnk")], [e2e.LINK])
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.startmenu)) if n.endswith(".lnk")], [e2e.LINK])

    def test_switches_leave_out_their_link(self):
        folder = "C:\\Games\\Switches"
        self.installed(self.cd, folder, "/nodesktop")
        self.assert_link(self.startmenu, folder)
        self.assertFalse(os.path.lexists(self.desktop), "/nodesktop made the desktop link")

        self.setUp()
        self.installed(self.cd, folder, "/NOSTARTMENU")
        self.assert_link(self.desktop, folder)
        self.assertFalse(os.path.lexists(self.startmenu), "/nostartmenu made the Start-menu link")

        self.setUp()
        self.installed(self.cd, folder, "/nostartmenu", "/nodesktop")
        self.assertFalse(os.path.lexists(self.startmenu))
        self.assertFalse(os.path.lexists(self.desktop))

        # A link left out keeps what an earlier install made there.
        self.installed(self.cd, "C:\\Games\\Earlier")
        self.installed(self.cd, folder, "/nodesktop")
        self.assert_link(self.startmenu, folder)
        self.assert_link(self.desktop, "C:\\Games\\Earlier")


if __name__ == "__main__":
    e2e.main()
