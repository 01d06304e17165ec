"""The shape of a CSV file, found in one pass that reads no values: its header, its number
of data rows, the file line of each row, and every row whose field count differs from the
header's. pandas reads a row with too few fields as if its last values were missing, so
such rows are refused here, before any value is read.

Blank lines are skipped, as pandas skips them. A file without quote characters is counted
on raw bytes (commas and line ends); one with quotes goes through the csv module, whose
quoting rules are those pandas reads by.
"""
from __future__ import annotations

import csv
from dataclasses import dataclass, field

import numpy as np

from .errors import InputError, file_error

_BLOCK_BYTES = 1 << 23
_RECORDS_PER_BATCH = 1 << 16


@dataclass
class CsvLayout:
    """Header, row count and row lines of a CSV file (data rows numbered from 0)."""

    path: str
    header: list[str] = field(default_factory=list)
    n_rows: int = 0
    size: int = 0  # bytes
    # Row positions from which a row's line lies `_shift` lines past `position + 2` (the
    # header on line 1, no blank lines, no line breaks inside quotes).
    _from: list[int] = field(default_factory=list)
    _shift: list[int] = field(default_factory=list)

    def line(self, position: int) -> int:
        """The file line (from 1) on which data row `position` starts."""
        k = int(np.searchsorted(self._from, position, side="right")) - 1
        return position + 2 + (self._shift[k] if k >= 0 else 0)


def scan(path: str) -> CsvLayout:
    """The layout of the CSV file at `path`; InputError for a missing, empty or unreadable
    file, a header that names a column twice, or a row of another width than the header."""
    layout = CsvLayout(path, header=_header(path))
    duplicated = [c for k, c in enumerate(layout.header) if c and c in layout.header[:k]]
    if duplicated:
        raise InputError(f"{path}: column {duplicated[0]!r} appears twice in the header")
    counter = _Counter(layout)
    with open(path, "rb") as f:
        quoted = not _count_bytes(f, counter)
        layout.size = f.tell()
    if quoted:
        counter = _Counter(layout)
        _count_records(path, counter)
    if layout.n_rows == 0:
        raise InputError(f"{path}: no data rows below the header")
    return layout


def _header(path: str) -> list[str]:
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            for record in csv.reader(f):
                if not _blank(record):
                    return record
    except (OSError, UnicodeDecodeError) as err:
        raise file_error(path, err, "CSV file") from None
    except csv.Error as err:
        raise InputError(f"{path}: line 1: {err}") from None
    raise InputError(f"{path}: the file is empty")


def _blank(record: list[str]) -> bool:
    return not record or (len(record) == 1 and not record[0].strip())


class _Counter:
    """Takes the records of a file in batches (their first lines, field counts and
    blankness) and fills in the layout's row count and line shifts."""

    def __init__(self, layout: CsvLayout):
        self.layout = layout
        layout.n_rows, layout._from, layout._shift = 0, [], []
        self.width: int | None = None  # the header's, once it has been seen
        self.last_shift = 0

    def add(self, lines: np.ndarray, fields: np.ndarray, blank: np.ndarray) -> None:
        lines, fields = lines[~blank], fields[~blank]
        if self.width is None and len(lines):
            self.width = int(fields[0])
            lines, fields = lines[1:], fields[1:]
        bad = np.flatnonzero(fields != self.width)
        if bad.size:
            k = int(bad[0])
            raise InputError(f"{self.layout.path}: line {int(lines[k])}: expected "
                             f"{self.width} fields, saw {int(fields[k])}")
        layout = self.layout
        shift = lines - (layout.n_rows + np.arange(len(lines))) - 2
        changed = np.flatnonzero(np.diff(shift, prepend=self.last_shift) != 0)
        layout._from.extend((layout.n_rows + changed).tolist())
        layout._shift.extend(shift[changed].tolist())
        if len(shift):
            self.last_shift = int(shift[-1])
        layout.n_rows += len(lines)


def _count_bytes(f, counter: _Counter) -> bool:
    """Counts the fields of every line on raw bytes; False (having counted nothing
    reliable) as soon as a quote character shows up."""
    carry, lines_before = b"", 0
    while True:
        block = f.read(_BLOCK_BYTES)
        if b'"' in block:
            return False
        eof = not block
        data = carry + block
        a = np.frombuffer(data, dtype=np.uint8)
        ends = _line_ends(a, eof)
        if not eof:
            if ends.size == 0:
                carry = data
                continue
            carry = data[ends[-1] + 1:]
        elif a.size and (ends.size == 0 or ends[-1] != a.size - 1):
            ends = np.append(ends, a.size)  # a last line without a line break
        starts = np.concatenate([[0], ends[:-1] + 1]) if ends.size else ends
        commas = np.flatnonzero(a == ord(","))
        fields = np.searchsorted(commas, ends) - np.searchsorted(commas, starts) + 1
        # A blank line has no comma and no byte above the space (its line break included).
        blank = fields == 1
        if ends.size:
            content = a[:ends[-1] + 1] > ord(" ")
            blank &= ~np.logical_or.reduceat(content, starts)
        counter.add(lines_before + 1 + np.arange(len(ends)), fields, blank)
        lines_before += len(ends)
        if eof:
            return True


def _line_ends(a: np.ndarray, eof: bool) -> np.ndarray:
    """Positions of the line breaks: every LF, and every CR not followed by an LF (a CR as
    the block's last byte is left for the next block, unless the file ends there)."""
    ends = np.flatnonzero(a == ord("\n"))
    cr = np.flatnonzero(a == ord("\r"))
    if cr.size:
        following = a[np.minimum(cr + 1, a.size - 1)]
        alone = np.where(cr + 1 < a.size, following != ord("\n"), eof)
        ends = np.union1d(ends, cr[alone])
    return ends


def _count_records(path: str, counter: _Counter) -> None:
    """Counts the fields of every record with the csv module (for files with quotes)."""
    lines: list[int] = []
    fields: list[int] = []
    blank: list[bool] = []

    def flush():
        counter.add(np.asarray(lines, dtype=np.int64), np.asarray(fields, dtype=np.int64),
                    np.asarray(blank, dtype=bool))
        lines.clear(), fields.clear(), blank.clear()

    with open(path, encoding="utf-8-sig", newline="") as f:
        reader = csv.reader(f)
        last_line = 0
        try:
            for record in reader:
                lines.append(last_line + 1)
                last_line = reader.line_num
                fields.append(len(record))
                blank.append(_blank(record))
                if len(lines) == _RECORDS_PER_BATCH:
                    flush()
        except UnicodeDecodeError:
            raise InputError(f"{path}: not UTF-8 text") from None
        except csv.Error as err:
            raise InputError(f"{path}: line {reader.line_num}: {err}") from None
    flush()
