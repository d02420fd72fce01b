"""Bodies for ``POST /units/{id}/verify`` and the text of a failed verification."""

FRAME_TYPES = ("request", "reply", "record")


def pattern(command=None, type=None, hex=None, fields=None):
    """A pattern's JSON: only the keys given."""
    body = {}
    if command is not None:
        body["command"] = command
    if type is not None:
        body["type"] = type
    if hex is not None:
        body["hex"] = hex
    if fields:
        body["fields"] = dict(fields)
    return body


def count_json(count):
    """``count`` as the API takes it: N, ``(min, max)`` or ``{"min": A, "max": B}``; None: at least one."""
    if count is None or isinstance(count, dict):
        return count
    if isinstance(count, tuple) and len(count) == 2:
        low, high = count
        return {key: value for key, value in (("min", low), ("max", high)) if value is not None}
    return count


def sequence_item(item):
    """One entry of a sequence: a command name or code, a pattern dict, or ``(command, fields)``."""
    if isinstance(item, dict):
        return item
    if isinstance(item, tuple) and len(item) == 2 and isinstance(item[1], dict):
        return pattern(item[0], fields=item[1])
    return pattern(item)


def _value(value):
    if isinstance(value, dict):
        if set(value) == {"hex"}:
            return "hex %s" % value["hex"]
        if set(value) <= {"from", "to"}:
            return "%s..%s" % (_number(value.get("from", "")), _number(value.get("to", "")))
    if value is None:
        return "(none)"
    return _number(value)


def _number(value):
    if isinstance(value, float) and value.is_integer():
        return "%d" % value
    return str(value)


def describe(body):
    """``set-device-name with 设备名称=扳手01``: what a pattern looks for."""
    kind = body.get("type", "request")
    what = str(body.get("command", "frame" if kind != "record" else ""))
    if kind == "reply":
        what += " reply"
    elif kind == "record":
        what = (what + " record").strip()
    conditions = ["%s=%s" % (name, _value(value)) for name, value in (body.get("fields") or {}).items()]
    if "hex" in body:
        conditions.append("hex=%s" % body["hex"])
    return what + (" with " + ", ".join(conditions) if conditions else "")


def _expected(count):
    if count is None:
        return "at least 1"
    if isinstance(count, dict):
        if "min" in count and "max" in count:
            return "%d" % count["min"] if count["min"] == count["max"] else "%d to %d" % (count["min"], count["max"])
        if "min" in count:
            return "at least %d" % count["min"]
        return "at most %d" % count.get("max", 0)
    return "%d" % count


def near_line(entry, body):
    """``#14 set-device-name 设备名称=扳手1 ✗ (扳手01)``: one near event against the pattern."""
    wanted = dict(body.get("fields") or {})
    if "hex" in body:
        wanted["hex"] = body["hex"]
    parts = ["#%d" % entry["seq"], entry.get("command") or entry.get("type", "")]
    for check in entry.get("fields", []):
        shown = "%s=%s" % (check["field"], _value(check.get("value")))
        if check.get("match"):
            parts.append(shown + " ✓")
        else:
            parts.append("%s ✗ (%s)" % (shown, _value(wanted.get(check["field"]))))
    return " ".join(parts)


def nearest(near, body):
    """`` Nearest: ...``: inline for one event, a line each for more."""
    if not near:
        return " Nearest: none."
    lines = [near_line(entry, body) for entry in near]
    if len(lines) == 1:
        return " Nearest: " + lines[0]
    return " Nearest:\n" + "\n".join("  " + line for line in lines)


def count_failure(body, answer):
    """``expected 1 set-device-name with 设备名称=扳手01; got 0. Nearest: ...``."""
    return "expected %s %s; got %d.%s" % (_expected(body.get("count")), describe(body), answer.get("matched", 0),
                                         nearest(answer.get("near", []), body))


def sequence_failure(body, answer):
    """Which pattern of a sequence could not be placed, after which events, and the nearest."""
    patterns = body["sequence"]
    failed = answer.get("failed", 0)
    placed = answer.get("placed", [])
    mode = "strictly in order" if body.get("strict") else "in order"
    text = "expected %s: %s; " % (mode, ", ".join(describe(p) for p in patterns))
    if placed:
        text += "placed %s; " % ", ".join("#%d %s" % (e["seq"], e.get("command", "")) for e in placed)
        where = "right after" if body.get("strict") else "after"
        text += "no %s %s #%d." % (describe(patterns[failed]), where, placed[-1]["seq"])
    else:
        text += "no %s." % describe(patterns[failed])
    return text + nearest(answer.get("near", []), patterns[failed])
