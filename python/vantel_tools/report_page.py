"""report.html: one self-contained page per run (plots inlined as data URIs; no script, no network, no other file)."""

from __future__ import annotations

import base64
import html
import pathlib
from dataclasses import dataclass, field

STYLE = """
body { font-family: sans-serif; margin: 2em; max-width: 1200px; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 1.6em; }
.headline { font-size: 1.3em; padding: 0.6em; background: #eef4fb; border-left: 4px solid #3a7bd5; }
.warning { color: #a4470b; }
table { border-collapse: collapse; margin: 0.5em 0; }
td, th { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: right; }
th { background: #f2f2f2; } td:first-child, th:first-child { text-align: left; }
tr.flagged td { background: #fde8e8; }
figure { margin: 1em 0; } figure img { max-width: 100%; border: 1px solid #ddd; }
pre { background: #f7f7f7; padding: 0.6em; overflow-x: auto; }
"""


@dataclass
class Table:
    caption: str
    headers: list[str]
    rows: list[list[str]]
    flagged_rows: set[int] = field(default_factory=set)


@dataclass
class ReportPage:
    """What one run shows: a headline figure, summary lines, tables, plots and the record's text."""

    title: str
    headline_label: str
    headline_value: str
    summary: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    tables: list[Table] = field(default_factory=list)
    figures: list[tuple[str, pathlib.Path]] = field(default_factory=list)
    record_text: list[tuple[str, str]] = field(default_factory=list)


def _image(path: pathlib.Path) -> str:
    data = base64.b64encode(path.read_bytes()).decode("ascii")
    return f'<img src="data:image/png;base64,{data}" alt="{html.escape(path.name)}">'


def _table(table: Table) -> str:
    head = "".join(f"<th>{html.escape(h)}</th>" for h in table.headers)
    body = []
    for k, row in enumerate(table.rows):
        cells = "".join(f"<td>{html.escape(str(cell))}</td>" for cell in row)
        body.append(f'<tr class="flagged">{cells}</tr>' if k in table.flagged_rows else f"<tr>{cells}</tr>")
    return (f"<h2>{html.escape(table.caption)}</h2>\n<table><thead><tr>{head}</tr></thead>\n<tbody>\n"
            + "\n".join(body) + "\n</tbody></table>")


def render(page: ReportPage) -> str:
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{html.escape(page.title)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{html.escape(page.title)}</h1>",
        f'<p class="headline">{html.escape(page.headline_label)}: '
        f'<span id="headline-value">{html.escape(page.headline_value)}</span></p>',
        "<ul>" + "".join(f"<li>{html.escape(line)}</li>" for line in page.summary) + "</ul>",
    ]
    if page.warnings:
        parts.append('<ul class="warning">' + "".join(f"<li>{html.escape(w)}</li>" for w in page.warnings) + "</ul>")
    parts += [_table(table) for table in page.tables]
    if page.figures:
        parts.append("<h2>Plots</h2>")
    for caption, path in page.figures:
        parts.append(f"<figure>{_image(path)}<figcaption>{html.escape(caption)}</figcaption></figure>")
    for caption, text in page.record_text:
        parts.append(f"<h2>{html.escape(caption)}</h2><pre>{html.escape(text)}</pre>")
    parts.append("</body></html>")
    return "\n".join(parts)


def write_report(path: pathlib.Path, page: ReportPage) -> pathlib.Path:
    path.write_text(render(page), encoding="utf-8")
    return path
