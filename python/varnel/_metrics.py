"""Reads the Prometheus text exposition the control API serves at /metrics."""

import re

_SAMPLE = re.compile(r"^([A-Za-z_:][A-Za-z0-9_:]*)(?:\{(.*)\})?\s+(\S+)(?:\s+\S+)?$")
_LABEL = re.compile(r'\s*([A-Za-z_][A-Za-z0-9_]*)\s*=\s*"((?:[^"\\]|\\.)*)"\s*,?')
_UNESCAPE = {"\\\\": "\\", '\\"': '"', "\\n": "\n"}


def parse_samples(text):
    """Yields (name, labels dict, value) for every sample line of ``text``."""
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        match = _SAMPLE.match(line)
        if not match:
            raise ValueError("metrics line %d is not a sample: %.200r" % (number, line))
        name, label_text, value = match.groups()
        labels = {}
        position = 0
        label_text = label_text or ""
        while position < len(label_text):
            label = _LABEL.match(label_text, position)
            if not label:
                raise ValueError("metrics line %d: bad labels: %.200r" % (number, line))
            labels[label.group(1)] = re.sub(r'\\[\\"n]', lambda m: _UNESCAPE[m.group(0)], label.group(2))
            position = label.end()
        yield name, labels, float(value)


def sample_key(name, labels):
    """``name{a="1",b="2"}`` with the labels sorted by name; ``name`` alone without labels."""
    if not labels:
        return name
    inner = ",".join('%s="%s"' % (k, labels[k].replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n"))
                     for k in sorted(labels))
    return "%s{%s}" % (name, inner)


def unit_metrics(text, unit_id):
    """The samples of one unit as {key: value}, the ``unit`` label left out of the key."""
    result = {}
    wanted = str(unit_id)
    for name, labels, value in parse_samples(text):
        if labels.pop("unit", None) != wanted:
            continue
        result[sample_key(name, labels)] = value
    return result
