#!/bin/sh
# Makes the README's pictures of the menu: the real program under its own
# Xvfb, driven by keys, captured from its window.
# usage: docs/make_screenshots.sh [BUILD_DIR]   (default: build)
set -e
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
YL_BINARY=$build/run/yammerlane YL_DATA=$build/run/data.dat \
YL_TEXTMASK=$build/tests/e2e/yl_textmask PYTHONDONTWRITEBYTECODE=1 \
exec python3 - <<'PY'
import sys, time
sys.path.insert(0, "tests/e2e")
from yltest import App, text_mismatch, wait_until

with App() as app:
    app.wait_window()
    wait_until(lambda: text_mismatch(app.screenshot(), 160, 200, "EXIT", 15) == 0, 15, 0.1)
    app.screenshot().save_png("docs/menu.png")

    # The join screen with a name typed and a colour picked.
    app.hold("Return", 0.1)
    wait_until(lambda: text_mismatch(app.screenshot(), 160, 400, "CANCEL", 15) == 0, 15, 0.1)
    for _ in range(4):
        app.hold("Down", 0.04)
        time.sleep(0.12)
    for _ in range(4):
        app.hold("Right", 0.04)
        time.sleep(0.12)
    for _ in range(4):
        app.hold("Up", 0.04)
        time.sleep(0.12)
    app.type("alice")
    time.sleep(0.5)
    app.screenshot().save_png("docs/join.png")
print("wrote docs/menu.png and docs/join.png")
PY
