"""The chat's files keep their layout: the core (chat/core) and the console
host (chat/console) include no Allegro header, directly or through another
header, and no screen header; no two of the chat's files (a source and its
header taken as one) depend on each other, directly or round a circle.

    python3 layout_check.py CHAT_DIR"""
import os
import re
import sys
import unittest

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
ALLEGRO = re.compile(r'^(allegro|xalleg|winalleg|alleg)')


def sources(chat):
    """{path: (folder, unit, [(kind, name)])} for every .cpp and .h of the chat."""
    found = {}
    for folder in ("core", "screen", "console", "."):
        where = os.path.join(chat, folder)
        for name in sorted(os.listdir(where)):
            path = os.path.join(where, name)
            if not name.endswith((".cpp", ".h")) or not os.path.isfile(path):
                continue
            with open(path) as f:
                includes = INCLUDE.findall(f.read())
            found[path] = (folder, os.path.splitext(name)[0], includes)
    return found


class ChatLayout(unittest.TestCase):
    chat = None

    def setUp(self):
        self.files = sources(self.chat)
        self.header = {os.path.basename(p): p for p in self.files if p.endswith(".h")}

    def reached(self, path, seen=None):
        """Every header that `path` includes, directly or through the chat's headers."""
        seen = set() if seen is None else seen
        for kind, name in self.files[path][2]:
            if name in seen:
                continue
            seen.add(name)
            if kind == '"' and name in self.header:
                self.reached(self.header[name], seen)
        return seen

    def test_core_and_console_include_no_allegro_and_no_screen(self):
        for path, (folder, _, _) in self.files.items():
            if folder not in ("core", "console"):
                continue
            for name in self.reached(path):
                self.assertFalse(ALLEGRO.match(name), "%s reaches <%s>" % (path, name))
                owner = self.header.get(name)
                if owner:
                    self.assertNotEqual("screen", self.files[owner][0], "%s reaches %s" % (path, owner))

    def test_no_circle_among_the_chats_files(self):
        units = {}
        for path, (folder, unit, includes) in self.files.items():
            deps = units.setdefault(unit, set())
            for kind, name in includes:
                if kind == '"' and name in self.header:
                    other = self.files[self.header[name]][1]
                    if other != unit:
                        deps.add(other)
        state = {}

        def visit(unit, trail):
            state[unit] = "open"
            for dep in sorted(units.get(unit, ())):
                if state.get(dep) == "open":
                    self.fail("circle: %s" % " -> ".join(trail[trail.index(dep):] + [dep]))
                if dep not in state:
                    visit(dep, trail + [dep])
            state[unit] = "done"

        for unit in sorted(units):
            if unit not in state:
                visit(unit, [unit])


if __name__ == "__main__":
    ChatLayout.chat = sys.argv.pop(1)
    unittest.main()
