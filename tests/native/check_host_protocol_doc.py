#!/usr/bin/env python3
"""Compares the record tables of docs/host-protocol.md (offset, size or type, field) with the layout
the code uses, as printed by host_protocol_layout. Usage: check_host_protocol_doc.py LAYOUT_EXE DOC"""
import re
import subprocess
import sys

layout_exe, doc_path = sys.argv[1:3]
code, sizes, consts, errors = {}, {}, {}, []
for line in subprocess.run([layout_exe], check=True, capture_output=True, text=True).stdout.splitlines():
    kind, record, *rest = line.split()
    if kind == "field":
        code.setdefault(record, {})[rest[0]] = (int(rest[1]), rest[2])
    elif kind == "size":
        sizes[record] = int(rest[0])
    else:
        consts[record, rest[0]] = rest[1]


def parse_size(text):
    """'u32' -> (4, 'u32'); '16' -> (16, None); '4 × i32' -> (16, None)."""
    count, _, unit = text.rpartition(" × ")
    if re.fullmatch(r"[uif]\d+", unit):
        return int(count or 1) * int(unit[1:]) // 8, None if count else unit
    return int(count or 1) * int(unit), None


# A record's table follows the line that names it: "`InitParams` (argument ...): ..., 24 bytes." or
# "### `SharedOverlay`: ..., 49208 bytes"; the block header's follows "... a 16-byte header:".
doc, record = {}, None
for number, line in enumerate(open(doc_path, encoding="utf-8"), 1):
    named = re.match(r"(?:### )?`(\w+)`", line)
    if line.startswith("#") or named or "16-byte header" in line:
        record = named.group(1) if named and named.group(1) in sizes else None
        record = "SharedHeader" if "16-byte header" in line else record
        total = re.search(r"(\d+)(?: \+ 4 × capacity)?[ -]bytes?\b", line)
        if record and (not total or int(total.group(1)) != sizes[record]):
            errors.append(f"line {number}: {record} is not said to be {sizes[record]} bytes, its size in the code")
    cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
    if not record or not line.startswith("|") or not cells[0].isdigit():
        continue
    field = re.match(r"`?(\w+)", cells[2]).group(1)
    if "capacity" in cells[1]:  # the pixels, after the header
        if int(cells[0]) != sizes[record]:
            errors.append(f"line {number}: {record}.{field} at {cells[0]}, the header is {sizes[record]} bytes")
        continue
    doc.setdefault(record, {})[field] = (number, int(cells[0]), cells[1])
    value = consts.get((record, field))
    if value and value not in cells[2].split():
        errors.append(f"line {number}: {record}.{field} documented as '{cells[2]}', the code's is {value}")

for record, fields in code.items():
    # Every byte of a record is in one of the fields listed: a field added to the code shows here.
    end = 0
    for offset, kind in sorted(fields.values()) + [(sizes[record], "0")]:
        if offset != end:
            errors.append(f"{record}: bytes {end} to {offset} are in no field of host_protocol_layout.cpp")
        end = offset + parse_size(kind)[0]
    documented = doc.get(record, {})
    for name, (offset, kind) in fields.items():
        if name not in documented:
            errors.append(f"{record}.{name} (offset {offset}, {kind}) is in the code but not documented")
            continue
        number, doc_offset, doc_kind = documented[name]
        (doc_bytes, doc_type), (code_bytes, _) = parse_size(doc_kind), parse_size(kind)
        if doc_offset != offset or doc_bytes != code_bytes or doc_type not in (None, kind):
            errors.append(f"line {number}: {record}.{name} documented at {doc_offset}, {doc_kind}; "
                          f"the code has it at {offset}, {kind}")
    for name, (number, _, _) in documented.items():
        if name not in fields:
            errors.append(f"line {number}: {record}.{name} is documented but not in the code")

for error in errors:
    print(error)
print(f"{sum(map(len, doc.values()))} documented fields of {len(code)} records checked, {len(errors)} mismatches")
sys.exit(1 if errors else 0)
