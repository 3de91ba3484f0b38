#!/usr/bin/python3
"""The folder-level include graph: prints which folder includes which, and
fails naming every cycle. A node is the folder a file is in ("host/voka-host",
"host/voka-host/mqtt", "plugin/ac"); an edge A -> B means a file in A includes
a header of B by its project path ("B/x.h"). Folders left out of the graph:
build trees, tests/ (they include everything by design).
Usage: scripts/include-graph.py [ROOT] (default: the project root)"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCES = (".h", ".hpp", ".cpp", ".cc")
LEFT_OUT = {"build", "tests", ".git", ".ci"}


def folder_of(path):
    """The node a project path belongs to: the folder it is in, or None at the project's root."""
    return os.path.dirname(path) or None


def graph(root):
    edges = {}
    for top in sorted(os.listdir(root)):
        if top in LEFT_OUT or top.startswith(".") or not os.path.isdir(os.path.join(root, top)):
            continue
        for folder, subfolders, files in os.walk(os.path.join(root, top)):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith("."))
            for name in sorted(files):
                if not name.endswith(SOURCES):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root)
                source = folder_of(path)
                edges.setdefault(source, set())
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    for included in INCLUDE.findall(f.read()):
                        target = folder_of(included)
                        if target and target != source and os.path.exists(os.path.join(root, included)):
                            edges[source].add(target)
    return edges


def cycles(edges):
    """The strongly connected components of more than one folder (Tarjan's algorithm)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    sys.setrecursionlimit(10000)

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(edges.get(node, ())):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    edges = graph(root)
    for node in sorted(edges):
        print(f"{node} -> {', '.join(sorted(edges[node])) or '(nothing)'}")
    found = cycles(edges)
    for component in found:
        inside = [f"{a} -> {b}" for a in component for b in sorted(edges[a]) if b in component]
        print(f"include cycle among {', '.join(component)}: {'; '.join(inside)}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
