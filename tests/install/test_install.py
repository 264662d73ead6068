"""The installed tree: `cmake --install` of the build into a temporary
DESTDIR, checked as users and programmers meet it. The desktop entry is
validated, the manual pages rendered, the example built against the
installed library through pkg-config and through CMake and run over UDP on
127.0.0.1, and the installed program started under Xvfb from a folder
without data.dat. The three Debian packages of the build are checked file
by file and by lintian, and the program's is installed into a root of its
own, run there and purged."""
import glob
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from yltest import App, assert_text, claim_port  # noqa: E402

BUILD = os.environ.get("YL_BUILD_DIR", "")
SOURCE = os.environ.get("YL_SOURCE_DIR", "")
CMAKE = os.environ.get("YL_CMAKE", "cmake")
PREFIX = "/usr/local"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
MULTIARCH = subprocess.run(["gcc", "-print-multiarch"], stdout=subprocess.PIPE,
                           universal_newlines=True).stdout.strip()
LIB = "lib/" + MULTIARCH


def run(args, timeout=120, **kw):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kw)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(args), done.returncode,
                                                        done.stdout.decode(errors="replace"),
                                                        done.stderr.decode(errors="replace")))
    return done


class InstalledTreeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.destdir = tempfile.mkdtemp(prefix="yl-destdir-")
        cls.root = cls.destdir + PREFIX
        run([CMAKE, "--install", BUILD, "--prefix", PREFIX], env=dict(os.environ, DESTDIR=cls.destdir))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.destdir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.root, name)

    def test_tree_holds_program_data_desktop_entry_icons_and_library(self):
        expected = ["bin/yammerlane", "share/yammerlane/data.dat",
                    "share/applications/yammerlane.desktop",
                    "share/man/man6/yammerlane.6.gz", "share/man/man5/netlane.cfg.5.gz",
                    "share/man/man3/netlane.3.gz",
                    "share/doc/libnetlane-dev/examples/netlane.cfg",
                    "share/doc/yammerlane/FONT-LICENSE", "share/doc/yammerlane/LICENSE",
                    "share/doc/yammerlane/examples/yammerlane-host.service",
                    "include/netlane.h", LIB + "/libnetlane.a", LIB + "/libnetlane.so.0",
                    LIB + "/pkgconfig/netlane.pc", LIB + "/cmake/netlane/netlaneConfig.cmake"]
        expected += ["share/icons/hicolor/%dx%d/apps/yammerlane.png" % (s, s) for s in ICON_SIZES]
        missing = [name for name in expected if not os.path.isfile(self.path(name))]
        self.assertEqual(missing, [])
        self.assertTrue(os.access(self.path("bin/yammerlane"), os.X_OK))
        with open(self.path("share/yammerlane/data.dat"), "rb") as a, \
                open(os.path.join(BUILD, "run", "data.dat"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        # Each icon is a PNG of the size its folder names.
        for size in ICON_SIZES:
            with open(self.path("share/icons/hicolor/%dx%d/apps/yammerlane.png" % (size, size)), "rb") as f:
                head = f.read(24)
            self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack(">II", head[16:24]), (size, size))
        # Nothing lands outside the prefix.
        self.assertEqual(os.listdir(self.destdir), [PREFIX.split("/")[1]])

        done = subprocess.run(["desktop-file-validate", self.path("share/applications/yammerlane.desktop")],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
        self.assertEqual((done.returncode, done.stdout.decode()), (0, ""))

    def test_manual_pages_render_cleanly_and_document_every_key_and_routine(self):
        pages = {}  # the roff sources: rendered text may hyphenate a name
        for page in ("man6/yammerlane.6.gz", "man5/netlane.cfg.5.gz", "man3/netlane.3.gz"):
            env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
            env.pop("MAN_KEEP_FORMATTING", None)  # plain text, no overstrikes
            done = run(["man", "--warnings", "-l", self.path("share/man/" + page)], env=env)
            self.assertEqual(done.stderr.decode(), "", page)
            self.assertIn("SEE ALSO", done.stdout.decode())
            with gzip.open(self.path("share/man/" + page), "rt") as f:
                pages[page.split("/")[1]] = f.read()

        # Every section and key the library's readers know is in the page and
        # in the installed example.
        sources = ""
        for name in glob.glob(os.path.join(SOURCE, "net/lib/*/*.cpp")):
            with open(name) as f:
                sources += f.read()
        keys = set(re.findall(r'strcmp\(option, "([a-z_]+)"\)', sources))
        sections = set(re.findall(r'(?:seek_section|load_conn_config)\([^"()]*"([a-z_]+)"\)', sources))
        self.assertTrue({"port", "conn_resend_rate"} <= keys and {"winsock_win", "conns"} <= sections)
        with open(self.path("share/doc/libnetlane-dev/examples/netlane.cfg")) as f:
            example = f.read()
        for text in (pages["netlane.cfg.5.gz"], example):
            words = set(re.findall(r"[a-z_]+", text))
            self.assertEqual(sorted((keys | sections) - words), [])

        # Every routine the public header declares is in netlane(3).
        with open(self.path("include/netlane.h")) as f:
            routines = set(re.findall(r"\b(net_[a-z_]+)\(", f.read()))
        self.assertGreater(len(routines), 40)
        self.assertEqual(sorted(routines - set(re.findall(r"net_[a-z_]+", pages["netlane.3.gz"]))), [])

    def test_example_builds_against_the_install_both_ways_and_talks(self):
        work = tempfile.mkdtemp(prefix="yl-example-")
        port, lock = claim_port()
        try:
            src = os.path.join(work, "src")
            shutil.copytree(os.path.join(SOURCE, "examples", "hello_conns"), src)

            # pkg-config: the shared library, found in the staged tree.
            pc_env = dict(os.environ, PKG_CONFIG_PATH=self.path(LIB + "/pkgconfig"),
                          PKG_CONFIG_SYSROOT_DIR=self.destdir)
            run(["make", "-C", src], env=pc_env)
            by_pc = os.path.join(src, "hello_conns")
            needed = run(["readelf", "-d", by_pc]).stdout.decode()
            self.assertIn("libnetlane.so.0", needed)

            # CMake: the imported static target, from a C-only project.
            build = os.path.join(work, "build")
            run([CMAKE, "-S", src, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.root])
            run([CMAKE, "--build", build])
            by_cmake = os.path.join(build, "hello_conns")

            for program, env in ((by_pc, dict(os.environ, LD_LIBRARY_PATH=self.path(LIB))),
                                 (by_cmake, None)):
                out = run([program, str(port)], timeout=30, env=env).stdout.decode()
                self.assertIn("host got: hello from the client\n", out)
                self.assertIn("client got: hello from the host\n", out)
        finally:
            os.close(lock)
            shutil.rmtree(work, ignore_errors=True)

    def test_installed_program_reaches_the_menu_from_a_folder_without_data(self):
        with open(self.path("share/applications/yammerlane.desktop")) as f:
            wm_class = re.search(r"^StartupWMClass=(.*)$", f.read(), re.M).group(1)
        with App(data=False, binary=self.path("bin/yammerlane")) as app:
            window = app.wait_window()
            self.assertFalse(os.path.exists(os.path.join(app.workdir, "data.dat")))
            assert_text(app.screenshot(), 160, 150, "JOIN CHAT", 12)
            # The desktop entry names the class the window really has.
            xprop = app.display.run("xprop", "-id", str(window), "WM_CLASS").decode()
            self.assertEqual(re.findall(r'"([^"]*)"', xprop)[1:], [wm_class])


@unittest.skipUnless(shutil.which("dpkg-deb") and shutil.which("dpkg-shlibdeps"), "no dpkg-dev here")
class PackagesTest(unittest.TestCase):
    """`make deb`'s three packages, made by its script from the same build."""

    def test_packages_hold_their_files_pass_lintian_and_install_run_purge(self):
        out = tempfile.mkdtemp(prefix="yl-debs-")
        try:
            run([os.path.join(SOURCE, "scripts", "make-debs.sh"), BUILD, out],
                env=dict(os.environ, CMAKE=CMAKE))
            debs = {os.path.basename(d).split("_")[0]: d for d in glob.glob(os.path.join(out, "*.deb"))}
            self.assertEqual(sorted(debs), ["libnetlane-dev", "libnetlane0", "yammerlane"])
            docs = lambda pkg: ["usr/share/doc/%s/changelog.Debian.gz" % pkg, "usr/share/doc/%s/copyright" % pkg]
            lib = "usr/" + LIB
            expected = {
                "yammerlane": docs("yammerlane") + [
                    "usr/bin/yammerlane", "usr/share/applications/yammerlane.desktop",
                    "usr/share/man/man6/yammerlane.6.gz", "usr/share/yammerlane/data.dat",
                    "usr/share/doc/yammerlane/examples/yammerlane-host.service"] + [
                    "usr/share/icons/hicolor/%dx%d/apps/yammerlane.png" % (n, n) for n in ICON_SIZES],
                "libnetlane0": docs("libnetlane0") + [
                    lib + "/libnetlane.so.0 -> libnetlane.so.0.1.0", lib + "/libnetlane.so.0.1.0"],
                "libnetlane-dev": docs("libnetlane-dev") + [
                    "usr/include/netlane.h", lib + "/libnetlane.a", lib + "/libnetlane.so -> libnetlane.so.0",
                    lib + "/cmake/netlane/netlaneConfig.cmake", lib + "/cmake/netlane/netlaneConfigVersion.cmake",
                    lib + "/cmake/netlane/netlaneTargets.cmake", lib + "/cmake/netlane/netlaneTargets-*.cmake",
                    lib + "/pkgconfig/netlane.pc", "usr/share/doc/libnetlane-dev/examples/netlane.cfg",
                    "usr/share/man/man3/netlane.3.gz", "usr/share/man/man5/netlane.cfg.5.gz"],
            }
            for pkg, deb in debs.items():
                listing = run(["dpkg-deb", "--fsys-tarfile", deb]).stdout
                names = run(["tar", "-tvf", "-"], input=listing).stdout.decode().splitlines()
                files = sorted(re.sub(r"netlaneTargets-\w+\.cmake", "netlaneTargets-*.cmake",
                                      line.split(None, 5)[5][2:])
                               for line in names if not line.startswith("d"))
                self.assertEqual(files, sorted(expected[pkg]), pkg)
                for owner in (line.split()[1] for line in names):
                    self.assertEqual(owner, "root/root", pkg)
            fields = lambda pkg: run(["dpkg-deb", "-f", debs[pkg]]).stdout.decode()
            # Dependencies are found, not written down: the program's libraries,
            # and the -dev files' runtime of exactly their own version.
            self.assertRegex(fields("yammerlane"), r"Depends: .*liballegro4\.4 .*libc6 ")
            self.assertRegex(fields("libnetlane0"), r"Multi-Arch: same")
            self.assertRegex(fields("libnetlane-dev"), r"Depends: libnetlane0 \(= 0\.1\.0-1\)")
            control = run(["dpkg-deb", "--ctrl-tarfile", debs["libnetlane0"]]).stdout
            self.assertEqual(sorted(run(["tar", "-tf", "-"], input=control).stdout.decode().split()),
                             ["./", "./control", "./md5sums", "./shlibs", "./triggers"])

            if shutil.which("lintian"):
                done = subprocess.run(["lintian", "--fail-on", "error"] + sorted(debs.values()),
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)
                report = done.stdout.decode()
                self.assertEqual((done.returncode, re.findall(r"^E: .*", report, re.M)), (0, []), report)

            # Installed into an empty root of its own, run there, purged: the
            # root is left as it was.
            root = os.path.join(out, "root")
            admin = os.path.join(root, "var", "lib", "dpkg")
            for sub in ("info", "updates", "triggers"):
                os.makedirs(os.path.join(admin, sub))
            open(os.path.join(admin, "status"), "w").close()
            dpkg = ["dpkg", "--root=" + root, "--force-not-root", "--force-script-chrootless",
                    "--log=/dev/null"]
            before = sorted(os.listdir(root))
            run(dpkg + ["--force-depends", "-i", debs["yammerlane"]])
            program = os.path.join(root, "usr", "bin", "yammerlane")
            version = run([program, "--version"], env=dict(os.environ, DISPLAY="")).stdout.decode()
            self.assertEqual(version, "yammerlane 0.1.0\n")
            with App(data=False, binary=program) as app:
                app.wait_window()
                assert_text(app.screenshot(), 160, 150, "JOIN CHAT", 12)
            run(dpkg + ["--purge", "yammerlane"])
            self.assertEqual(sorted(os.listdir(root)), before)
            self.assertEqual(sorted(os.listdir(os.path.join(root, "var"))), ["lib"])
        finally:
            shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
