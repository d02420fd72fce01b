#!/usr/bin/env python3
"""Writes the METADATA and entry_points.txt the Debian package installs for the varnel Python
package, from python/pyproject.toml, so pip and the .deb install the same description.
Usage: dist_info.py PYTHON_DIR VERSION OUT_DIR (VERSION: the project's, which the package's must be)."""

import ast
import os
import sys

try:
    import tomllib
except ModuleNotFoundError:
    import tomli as tomllib

# The [project] keys written below; another key would be left out of the .deb silently.
KNOWN_KEYS = {"name", "dynamic", "description", "requires-python", "dependencies", "entry-points"}


def attribute_value(python_dir, attr):
    """The value of a module's top-level assignment, read without importing it, as setuptools'
    attr: does."""
    module, _, name = attr.rpartition(".")
    base = os.path.join(python_dir, *module.split("."))
    path = os.path.join(base, "__init__.py") if os.path.isdir(base) else base + ".py"
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read(), path)
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name for t in node.targets):
            return ast.literal_eval(node.value)
    sys.exit("%s: no %s = ... for %s" % (path, name, attr))


def main(python_dir, version, out_dir):
    pyproject = os.path.join(python_dir, "pyproject.toml")
    with open(pyproject, "rb") as handle:
        config = tomllib.load(handle)
    project = config["project"]
    unknown = sorted(set(project) - KNOWN_KEYS)
    if unknown:
        sys.exit("%s: [project] %s not written to the Debian package's metadata (teach %s)"
                 % (pyproject, ", ".join(unknown), sys.argv[0]))
    if "version" in project.get("dynamic", []):
        package_version = attribute_value(python_dir, config["tool"]["setuptools"]["dynamic"]["version"]["attr"])
    else:
        package_version = project["version"]
    if package_version != version:
        sys.exit("%s: the Python package's version is %s, the project's %s" % (pyproject, package_version, version))

    metadata = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + package_version,
                "Summary: " + project["description"], "Requires-Python: " + project["requires-python"]]
    metadata += ["Requires-Dist: " + dependency for dependency in project.get("dependencies", [])]
    entry_points = []
    for group, entries in project.get("entry-points", {}).items():
        entry_points.append("[%s]" % group)
        entry_points += ["%s = %s" % item for item in entries.items()]
    os.makedirs(out_dir, exist_ok=True)
    for name, lines in (("METADATA", metadata), ("entry_points.txt", entry_points)):
        with open(os.path.join(out_dir, name), "w", encoding="utf-8") as handle:
            handle.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    main(*sys.argv[1:])
