#!/usr/bin/python3
"""The install of a built tree: what lands where, with DESTDIR and with
another prefix, and whether man and systemd accept what landed.

    install_test.py BUILD PREFIX BINDIR MANDIR UNITDIR SYSUSERSDIR

(the folders as configured, the last four relative to the prefix).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = PREFIX = BINDIR = MANDIR = UNITDIR = SYSUSERSDIR = None
PROGRAMS = ("korvad", "korvadm", "korvad-refdb", "korvadclient", "korvadweb")
MAN_PAGES = ("korvad.1", "korvadm.1", "korvad-refdb.1", "korvadclient.1", "korvadweb.1")


def expected_files(prefix):
    files = [os.path.join(prefix, BINDIR, p) for p in PROGRAMS]
    files += [os.path.join(prefix, MANDIR, "man1", m) for m in MAN_PAGES]
    files.append(os.path.join(prefix, UNITDIR, "korvad.service"))
    files.append(os.path.join(prefix, SYSUSERSDIR, "korvad.conf"))
    return files


def unit_settings(path):
    """The unit's key=value lines as a list of pairs, comments left out."""
    pairs = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;[":
                continue
            key, _, value = line.partition("=")
            pairs.append((key, value))
    return pairs


def install(prefix=None, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir is not None:
        env["DESTDIR"] = destdir
    args = ["cmake", "--install", BUILD]
    if prefix is not None:
        args += ["--prefix", prefix]
    done = subprocess.run(args, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + done.stdout + done.stderr)
    with open(os.path.join(BUILD, "install_manifest.txt")) as f:
        return f.read().split()


class InstallCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvad-install-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)


class IntoDestdir(InstallCase):
    def setUp(self):
        super().setUp()
        self.stage = os.path.join(self.folder, "stage")
        self.manifest = install(destdir=self.stage)
        self.root = self.stage + PREFIX

    def test_everything_lands_below_destdir_and_the_prefix(self):
        found = []
        for top, _, names in os.walk(self.stage):
            found += [os.path.join(top, n) for n in names]
        for path in found:
            self.assertTrue(path.startswith(self.root + "/"), path)
        # The manifest names the files as installed, without DESTDIR; each
        # one is in the stage.
        for path in self.manifest:
            self.assertTrue(path.startswith(PREFIX + "/"), path)
            self.assertIn(self.stage + path, found)
        for path in expected_files(PREFIX):
            self.assertIn(path, self.manifest)
        for program in PROGRAMS:
            self.assertTrue(os.access(os.path.join(self.root, BINDIR, program), os.X_OK))

    def test_installed_korvad_runs(self):
        korvad = os.path.join(self.root, BINDIR, "korvad")
        done = subprocess.run([korvad, "-h"], capture_output=True, text=True, cwd=self.folder)
        self.assertEqual(done.returncode, 0)
        self.assertIn("VALID SYNTAX: korvad [options]\n\n  Basic options:\n", done.stdout)

    def test_man_pages_format_without_warnings(self):
        for page in MAN_PAGES:
            path = os.path.join(self.root, MANDIR, "man1", page)
            done = subprocess.run(["man", "--warnings", "-l", path], capture_output=True,
                                  text=True, env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(done.returncode, 0, page)
            self.assertEqual(done.stderr, "", page)
            name = page.rsplit(".", 1)[0]
            self.assertIn("NAME\n       %s - " % name, done.stdout)
            self.assertIn("SYNOPSIS", done.stdout)

    def test_unit_runs_a_daemon_server_under_its_own_user(self):
        unit = unit_settings(os.path.join(self.root, UNITDIR, "korvad.service"))
        program = os.path.join(PREFIX, BINDIR, "korvad")
        self.assertIn(("ExecStart", program + " -s -c -l /var/log/korvad"), unit)
        for wanted in [("User", "korvad"), ("StateDirectory", "korvad"),
                       ("LogsDirectory", "korvad"), ("WorkingDirectory", "/var/lib/korvad"),
                       ("KillSignal", "SIGINT"), ("Restart", "on-failure"),
                       ("SuccessExitStatus", "5")]:
            self.assertIn(wanted, unit)
        with open(os.path.join(self.root, UNITDIR, "korvad.service")) as f:
            self.assertNotIn(self.stage, f.read())

    def test_sysusers_file_makes_the_user_in_the_audio_group(self):
        # systemd-sysusers itself, on a root of its own.
        root = os.path.join(self.folder, "root")
        os.makedirs(os.path.join(root, "etc"))
        with open(os.path.join(root, "etc", "passwd"), "w") as f:
            f.write("root:x:0:0:root:/root:/bin/sh\n")
        with open(os.path.join(root, "etc", "group"), "w") as f:
            f.write("root:x:0:\naudio:x:29:\n")
        conf = os.path.join(self.root, SYSUSERSDIR, "korvad.conf")
        done = subprocess.run(["systemd-sysusers", "--root=" + root, conf],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(root, "etc", "passwd")) as f:
            users = {line.split(":")[0]: line.strip().split(":") for line in f}
        self.assertIn("korvad", users)
        self.assertEqual(users["korvad"][5], "/var/lib/korvad")
        with open(os.path.join(root, "etc", "group")) as f:
            groups = {line.split(":")[0]: line.strip().split(":") for line in f}
        self.assertIn("korvad", groups["audio"][3].split(","))
        self.assertEqual(groups["korvad"][2], users["korvad"][3])


class AnotherPrefix(InstallCase):
    def test_unit_follows_the_prefix_and_passes_systemd_analyze_verify(self):
        prefix = os.path.join(self.folder, "opt", "korvad")
        manifest = install(prefix=prefix)
        for path in manifest:
            self.assertTrue(path.startswith(prefix + "/"), path)
        unit_path = os.path.join(prefix, UNITDIR, "korvad.service")
        unit = unit_settings(unit_path)
        program = os.path.join(prefix, BINDIR, "korvad")
        self.assertIn(("ExecStart", program + " -s -c -l /var/log/korvad"), unit)
        # verify looks for the program at its path and for man:korvad(1).
        env = dict(os.environ, MANPATH=os.path.join(prefix, MANDIR))
        done = subprocess.run(["systemd-analyze", "verify", unit_path], capture_output=True,
                              text=True, env=env)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(done.stderr, "")


if __name__ == "__main__":
    BUILD, PREFIX, BINDIR, MANDIR, UNITDIR, SYSUSERSDIR = sys.argv[1:7]
    unittest.main(argv=[sys.argv[0]] + sys.argv[7:], verbosity=2)
