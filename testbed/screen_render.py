#!/usr/bin/python3
"""Renders what a program wrote to an 80x25 terminal, as a person would see the screen.

    screen_render.py CAPTURE            text: one "row" and one "attr" line per screen row,
                                        then "cursor ROW COLUMN shown|hidden" (all 1-based)
    screen_render.py CAPTURE --svg OUT  the screen as an SVG picture

CAPTURE holds the bytes as the terminal's other side read them. Line feeds may come with or
without their carriage return (captures with the CR taken out are rendered the same).
Attribute letters: r reverse video, b bold, u underline, . none.
"""
import html
import sys

import pyte

COLUMNS, ROWS = 80, 25


def render(data):
    screen = pyte.Screen(COLUMNS, ROWS)
    screen.set_mode(pyte.modes.LNM)  # a line feed also returns the carriage, as onlcr does
    stream = pyte.ByteStream(screen)
    stream.feed(data)
    return screen


def attribute(char):
    if char.reverse:
        return "r"
    if char.bold:
        return "b"
    if char.underscore:
        return "u"
    return "."


def as_text(screen):
    out = []
    for y in range(ROWS):
        line = screen.buffer[y]
        out.append("row %02d |%s|" % (y + 1, "".join(line[x].data for x in range(COLUMNS))))
        out.append("attr %02d %s" % (y + 1, "".join(attribute(line[x]) for x in range(COLUMNS))))
    out.append("cursor %d %d %s" % (screen.cursor.y + 1, screen.cursor.x + 1,
                                    "hidden" if screen.cursor.hidden else "shown"))
    return "\n".join(out) + "\n"


def as_svg(screen):
    cell_w, cell_h, pad = 9, 18, 10
    width, height = COLUMNS * cell_w + 2 * pad, ROWS * cell_h + 2 * pad
    fg, bg = "#c0c0c0", "#000000"
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
             'font-family="DejaVu Sans Mono, monospace" font-size="15">' % (width, height),
             '<rect width="100%%" height="100%%" fill="%s"/>' % bg]
    for y in range(ROWS):
        line = screen.buffer[y]
        x = 0
        while x < COLUMNS:
            start, kind = x, attribute(line[x])
            while x < COLUMNS and attribute(line[x]) == kind:
                x += 1
            text = "".join(line[i].data for i in range(start, x))
            top = pad + y * cell_h
            color = fg
            if kind == "r":
                parts.append('<rect x="%d" y="%d" width="%d" height="%d" fill="%s"/>'
                             % (pad + start * cell_w, top, (x - start) * cell_w, cell_h, fg))
                color = bg
            if text.strip():
                weight = ' font-weight="bold"' if kind == "b" else ""
                color = "#ffffff" if kind == "b" else color
                parts.append('<text x="%d" y="%d" fill="%s"%s xml:space="preserve" '
                             'textLength="%d">%s</text>'
                             % (pad + start * cell_w, top + cell_h - 4, color, weight,
                                (x - start) * cell_w, html.escape(text)))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def main():
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and sys.argv[2] != "--svg"):
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as capture:
        screen = render(capture.read())
    if len(sys.argv) == 4:
        with open(sys.argv[3], "w") as out:
            out.write(as_svg(screen))
    else:
        sys.stdout.write(as_text(screen))


if __name__ == "__main__":
    main()
