"""`quilltap list` and the command-line and start-up failures, against a private dummy server
with a simulated XR18 mixer, and with no server at all."""

import glob
import os
import unittest

import rig

USAGE = "usage: quilltap list | record --device <name> --out <dir> --track <ch[,ch]>:<name> ..."
SYSTEM = {"uid": "system", "name": "system", "channels": 18}
XR18 = {"uid": "XR18", "name": "XR18 Multichannel", "channels": 18}


class QuilltapCase(unittest.TestCase):
    server = None

    def run_quilltap(self, *args, env=None):
        return rig.run(list(args), server=self.server, env=env)

    def assert_one_event(self, rec, expected, status):
        """Exactly one stdout line, equal to `expected` once parsed, and the exit status."""
        self.assertEqual(len(rec.lines), 1, rec.lines)
        self.assertEqual(rec.events, [expected])
        self.assertEqual(rec.status, status)

    def assert_error(self, args, message, env=None):
        with self.subTest(args=args):
            rec = self.run_quilltap(*args, env=env)
            self.assert_one_event(rec, {"event": "error", "message": message}, 1)


class WithMixer(QuilltapCase):
    """One server for the class: system (18 capture channels), the XR18, and a client that owns
    no audio output port and so is no device."""

    @classmethod
    def setUpClass(cls):
        cls.server = rig.JackServer(capture=18)
        cls.server.start()
        cls.mixer = rig.SignalClient(cls.server, "XR18", ports=18, pretty="XR18 Multichannel",
                                     repretty_seconds=0.5)
        cls.idle = rig.SignalClient(cls.server, "Idle", ports=0)
        try:
            cls.mixer.start()
            cls.idle.start()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.idle.stop()
        cls.mixer.stop()
        cls.server.stop()

    def test_list_prints_the_devices_in_server_order(self):
        rec = self.run_quilltap("list")
        self.assert_one_event(rec, {"event": "devices", "devices": [SYSTEM, XR18]}, 0)

    def test_list_ignores_words_after_it(self):
        rec = self.run_quilltap("list", "--device", "whatever")
        self.assert_one_event(rec, {"event": "devices", "devices": [SYSTEM, XR18]}, 0)

    def test_unknown_device_names_the_inputs_found(self):
        out = os.path.join(self.server.scratch_dir(), "take")
        self.assert_error(["record", "--device", "Nope", "--out", out],
                          'No audio input matching "Nope". Is the mixer plugged in over USB? '
                          "Inputs found: system, XR18 Multichannel")
        self.assertFalse(os.path.exists(out))

    def test_channel_outside_the_device(self):
        out = os.path.join(self.server.scratch_dir(), "take")
        for channel in (19, 0):
            self.assert_error(["record", "--out", out, "--track", "%d:X" % channel],
                              "Channel %d does not exist on XR18 Multichannel (it has 18 inputs)"
                              % channel)
        self.assert_error(["record", "--out", out, "--track", "1,2:Pair", "--track", "18,25:Bad"],
                          "Channel 25 does not exist on XR18 Multichannel (it has 18 inputs)")
        self.assertFalse(os.path.exists(out))

    def test_out_that_cannot_be_created(self):
        blocker = os.path.join(self.server.scratch_dir(), "a file")
        open(blocker, "w").close()
        out = os.path.join(blocker, "take")
        self.assert_error(["record", "--out", out, "--track", "1:Kick"], "%s: Not a directory" % out)


class WithoutServer(QuilltapCase):
    """JACK_DEFAULT_SERVER names a server that does not exist: quilltap must not start one."""

    def setUp(self):
        self.env = rig.no_server_env()

    def tearDown(self):
        self.assertEqual(glob.glob("/dev/shm/jack_%s_*" % self.env["JACK_DEFAULT_SERVER"]), [])

    def test_list_is_empty(self):
        rec = self.run_quilltap("list", env=self.env)
        self.assert_one_event(rec, {"event": "devices", "devices": []}, 0)

    def test_default_device_missing(self):
        self.assert_error(["record", "--out", "/tmp/quilltap-never-created"],
                          'No audio input matching "XR18". Is the mixer plugged in over USB? '
                          "Inputs found: ", env=self.env)
        self.assertFalse(os.path.exists("/tmp/quilltap-never-created"))


class CommandLineErrors(QuilltapCase):
    """Mistakes on the command line, reported before any device is looked at."""

    def test_command_errors(self):
        env = rig.no_server_env()
        cases = [
            ([], USAGE),
            (["foo"], "unknown command foo"),
            (["LIST"], "unknown command LIST"),
            (["record"], "--out is required"),
            (["record", "--device", "X", "--out"], "--out is required"),
            (["record", "--out", "/tmp/x", "--bits", "20"], "--bits must be 16, 24 or 32"),
            (["record", "--bits", "8", "--colour", "red"], "unknown option --colour"),
            (["record", "--out", "/tmp/x", "--track"], "bad --track "),
            (["record", "--out", "/tmp/x", "--track", "1,2,3:X"], "bad --track 1,2,3:X"),
        ]
        for args, message in cases:
            self.assert_error(args, message, env=env)


if __name__ == "__main__":
    unittest.main()
