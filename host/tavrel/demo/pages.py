"""The demo's HTML: one plain page layout, everything escaped on the way in."""

from __future__ import annotations

from html import escape

STYLE = """
body { font: 16px/1.5 system-ui, sans-serif; max-width: 44rem; margin: 2rem auto; padding: 0 1rem; color: #222; }
header { border-bottom: 1px solid #ccc; margin-bottom: 1.5rem; }
button { font: inherit; padding: .4rem 1rem; margin: .2rem 0; cursor: pointer; }
.error { border-left: 4px solid #b00; padding: .5rem 1rem; background: #fdf2f2; }
.muted { color: #777; }
code { background: #f4f4f4; padding: 0 .2rem; }
"""


def page(title: str, body: str, heading: str = "tavrel demo site") -> str:
    """A whole page; `title` is text, `body` is HTML built with `escape`."""
    return (f"<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{escape(title)}</title><style>{STYLE}</style></head>\n"
            f"<body><header><p class=\"muted\">{escape(heading)}</p></header>\n"
            f"<h1>{escape(title)}</h1>\n{body}\n</body></html>\n")


def hidden(name: str, value: str) -> str:
    return f'<input type="hidden" name="{escape(name)}" value="{escape(value)}">'
