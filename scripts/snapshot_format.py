"""The snapshot format as collector/src/collector/snapshot_format.h says it,
for the scripts: section ids and versions, record kinds, fixed body sizes.

    from snapshot_format import FORMAT
    FORMAT.sections["session_stream"]        # (2176, 2)
    FORMAT.kinds["session_kind"]["session_start"]  # 1
    FORMAT.body_size("session_stream", 1)     # 20, or None when not fixed
"""
import re
from pathlib import Path

HEADER = Path(__file__).resolve().parent.parent / "collector" / "src" / "collector" / "snapshot_format.h"


class SnapshotFormat:
    def __init__(self, text: str):
        def number(s: str) -> int:
            return int(s, 0)

        self.constants = {name: number(value) for name, value in
                          re.findall(r"inline constexpr std::uint\d+_t (\w+) = (0x[0-9A-Fa-f]+|\d+);", text)}
        self.sections = {name: (number(i), number(v)) for name, i, v in
                         re.findall(r"inline constexpr section_id (\w+)\{(\d+), (\d+)\};", text)}
        self.kinds = {}
        for block, body in re.findall(r"namespace (\w+_kind) \{(.*?)\n\}", text, re.S):
            self.kinds[block] = {name: number(value) for name, value in re.findall(r"(\w+) = (\d+)", body)}
        self.record_header_size = self.constants["record_header_size"] if "record_header_size" in self.constants \
            else number(re.search(r"record_header_size = (\d+);", text).group(1))
        self.layouts = {}
        for stream, kind_ns, kind, layout, rest in re.findall(
                r"\{(\w+), (\w+_kind)::(\w+), body_layout::(\w+)(.*?)\},", text):
            sizes = [number(x) for x in re.findall(r"\d+", rest)]
            self.layouts[(stream, self.kinds[kind_ns][kind])] = (layout, sizes)

    def body_size(self, stream: str, kind: int):
        """The fixed body size of a kind in a stream (pointer-free), or None."""
        layout = self.layouts.get((stream, kind))
        if layout is None or layout[0] != "fixed" or len(layout[1]) > 1:
            return None
        return layout[1][0] if layout[1] else 0


FORMAT = SnapshotFormat(HEADER.read_text())
